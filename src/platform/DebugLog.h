// A trail for the developer who integrates the library: one line per HTTP exchange, per
// file step and per status the progress window shows, written only when the host's
// environment asks for it (FLB_DEBUG_LOG=FILE on POSIX). A line is fields separated by
// tabs: a kind ("http", "file", "progress"), then name=value. It never fails and never
// reaches the user: a trail that cannot be written is dropped.
#pragma once
#include <string>

namespace platform {

void DebugLog(const std::string& line);

}  // namespace platform
