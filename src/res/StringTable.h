#pragma once

// The text of a string-table entry in cp932, or "" for an unknown id.
const char* LoadResString(unsigned id);
