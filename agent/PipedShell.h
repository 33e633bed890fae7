#pragma once
// The agent's way of running programs: a command line run as a child process
// whose standard output and standard error come back as one text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace agent {

// Output kept from one child; the rest is read and dropped.
inline constexpr size_t kMaxPipedOutputBytes = 16u << 20;

// Runs the command line (split by the Windows rules, no shell) and returns what
// the child and any program holding its output wrote, in the order written. A
// child that keeps its output open for more than PROCESSTIMEOUT seconds is killed
// with its process group and what it wrote so far is returned. Empty text when
// the program cannot be started. Failures and limits are logged at level 1.
std::string RunPiped(std::string_view command_line);

// The prompt-command rule: runs the command line and returns 1 plus the number
// of complete output lines whose upper-case copy holds both filters (upper case;
// an empty filter matches every non-empty line), beeping once per match.
int32_t CountMatchingLines(std::string_view command_line, std::string_view filter1,
                           std::string_view filter2);

}  // namespace agent
