#pragma once
// The one log routine of every program: appends the caller's text and CR LF to
// TarvoAgent.log in the program folder when the level passes the threshold.

#include <cstdint>
#include <string_view>

namespace common {

// Appends text + CR LF when level <= the threshold (LogLevel of the loaded
// configuration; 0 when none was loaded). Adds nothing else; the file is opened
// and closed for every entry. Failures are ignored.
void WriteLog(std::string_view text, int16_t level);

// Writes the usual failure line of a routine that traps its own errors: the
// error's description, the routine label and the current date and time, joined
// with nothing between them, at level 1.
void LogFailure(std::string_view description, std::string_view label);

}  // namespace common
