#pragma once
// Child processes in place of CreateProcess with pipes and of a hidden Shell
// start: no shell between the agent and the program, the command line split by
// the Windows rules, the program found on PATH, a file without its execute bit
// run by /bin/sh. Children never inherit the agent's descriptors and are always
// reaped: at once, or, for a child that works on after closing its output, by a
// background reaper as soon as it ends.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Why a run produced no output of its own.
enum class ChildStartError {
  kNone,        // the program was started
  kPipeFailed,  // the output pipe could not be created (Errno holds the cause)
  kNotStarted,  // empty command line, program not found or not runnable
};

struct ChildRunLimits {
  // How long the child may keep its output open; past it the child's process
  // group is killed. Zero or less: no limit.
  std::chrono::milliseconds Timeout{0};
  // Output bytes kept; the rest is read and dropped.
  size_t MaxOutputBytes = 16u << 20;
};

struct ChildRunResult {
  std::string Output;  // standard output and standard error, interleaved as written
  ChildStartError StartError = ChildStartError::kNone;
  int Errno = 0;           // cause of a start failure
  bool TimedOut = false;   // the output was still open at the time limit: group killed
  bool Truncated = false;  // output beyond MaxOutputBytes was dropped
  // waitpid status of the child; -1 when none ran or it still ran when its
  // output ended (it is then reaped later, in the background).
  int ExitStatus = -1;
};

// The program and arguments that a command line starts: the split arguments with
// the program resolved to a path (PATH searched when the name has no "/"), and
// "/bin/sh" put in front for a file without its execute bit. Nothing when the
// command line is empty or the program does not exist.
std::optional<std::vector<std::string>> ResolveCommand(std::vector<std::string> args);

// Runs the arguments (args[0] the program, resolved by ResolveCommand) with
// standard input from /dev/null and standard output and standard error on one
// pipe, in its own process group, and collects the output until every holder of
// the pipe has closed it or the time limit passes. Its waits go through
// WaitReadable (platform/Wait.h). Returns as soon as the output
// has ended, without waiting for a child that goes on working; only a child
// (and its group) still holding its output at the time limit is killed.
ChildRunResult RunChildProcess(const std::vector<std::string>& args, const ChildRunLimits& limits);

// RunChildProcess of a command line split by SplitCommandLine.
ChildRunResult RunCommandLine(std::string_view command_line, const ChildRunLimits& limits);

// Starts a program without waiting for it: standard streams on /dev/null, its
// own session, working_directory as its current folder (the caller's stays as it
// is; empty: the caller's). The program is a grandchild of the caller, so no
// zombie is left behind. Returns its process id, or nothing when it could not be
// started (program missing, folder missing, no resources).
std::optional<int> SpawnDetached(const std::vector<std::string>& args,
                                 const std::string& working_directory);

}  // namespace platform
