// The progress view's one terminal line, laid out for a width.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// "text [####......] 42%" in code page 932 within columns - 1, so the terminal never
// wraps it (a wrapped line leaves a stale row on each redraw). The text gives way
// first, a character at a time, then the bar; a code page 932 character takes as many
// columns as it has bytes.
std::string ProgressLine(const std::string& text, int32_t pos, uint16_t range, int columns);

}  // namespace platform
