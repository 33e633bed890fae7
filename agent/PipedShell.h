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

// Programs take turns: while one runs for the agent (a request's or a probe's),
// a request that would run another waits. A turn is held for the life of the
// object; turns nest.
class ProgramTurn {
 public:
  ProgramTurn();
  ~ProgramTurn();
  ProgramTurn(const ProgramTurn&) = delete;
  ProgramTurn& operator=(const ProgramTurn&) = delete;
};

// Whether a turn is held now.
bool ProgramTurnTaken();

// Runs the command line (split by the Windows rules, no shell) and returns what
// the child and any program holding its output wrote, in the order written. A
// child that keeps its output open for more than PROCESSTIMEOUT seconds is killed
// with its process group and what it wrote so far is returned. Empty text when
// the program cannot be started. Failures and limits are logged at level 1.
// The output is read as it arrives by the agent's loop, which serves the
// clients meanwhile; the run holds a program turn.
std::string RunPiped(std::string_view command_line);

// The prompt-command rule: runs the command line and returns 1 plus the number
// of complete output lines whose upper-case copy holds both filters (upper case;
// an empty filter matches every non-empty line), beeping once per match.
int32_t CountMatchingLines(std::string_view command_line, std::string_view filter1,
                           std::string_view filter2);

}  // namespace agent
