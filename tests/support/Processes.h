#pragma once
// Test helpers for starting programs and watching services from outside.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProgramResult {
  int exit_code = -1;  // exit status, or -1 when it could not run or was killed
  std::string output;  // standard output and standard error together
};

// Runs a program to its end with extra environment variables, stdin on
// /dev/null, and returns its exit status and output.
ProgramResult RunProgram(const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& extra_env = {});

// Starts a program with extra environment variables and without those named
// in unset_env, its standard streams on /dev/null, and returns its process id
// (0 when it could not start). The caller reaps it.
pid_t StartProgram(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extra_env,
                   const std::vector<std::string>& unset_env = {});

// Polls the condition every few milliseconds until it holds or the deadline
// passes. Returns whether it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Whether a process of that id exists and is not a zombie.
bool ProcessAlive(pid_t pid);

// Kills the process with SIGKILL (when alive) and waits for it to go.
void KillProcess(pid_t pid);

// Processes whose parent is this process, zombies included.
std::vector<int> ChildrenOfThisProcess();

// A child process made by fork that runs body (and exits with 127 should body
// return). It is killed with SIGKILL and reaped by its id at Stop() or when the
// object goes.
class ForkedChild {
 public:
  explicit ForkedChild(const std::function<void()>& body);
  ~ForkedChild() { Stop(); }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const { return pid_; }
  void Stop();

 private:
  pid_t pid_ = -1;
};

// A TCP port that was free a moment ago on 127.0.0.1.
int FreeTcpPort();

}  // namespace testsupport
