#include "platform/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Wait.h"

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kShell = "/bin/sh";
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
constexpr size_t kReadChunk = 64 * 1024;
// How long a child whose output has ended may take to end too before it is
// left to run on: most children close their output by ending.
constexpr std::chrono::milliseconds kExitGrace{50};

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

// The file a program name stands for: the name itself when it holds a "/",
// otherwise the first executable file of that name in a PATH folder (or, when
// there is none, the first plain file, which is then run as a script).
std::optional<std::string> FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    if (IsRegularFile(name)) return name;
    return std::nullopt;
  }
  const char* env_path = std::getenv("PATH");
  const std::string search = env_path != nullptr ? env_path : kDefaultPath;
  std::optional<std::string> script;
  size_t start = 0;
  while (start <= search.size()) {
    size_t end = search.find(':', start);
    if (end == std::string::npos) end = search.size();
    std::string candidate = end > start ? search.substr(start, end - start) : std::string(".");
    candidate += '/';
    candidate += name;
    if (IsRegularFile(candidate)) {
      if (IsExecutable(candidate)) return candidate;
      if (!script) script = candidate;
    }
    start = end + 1;
  }
  return script;
}

std::vector<char*> ArgvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// Moves a descriptor to 3 or above, so that placing it on 0, 1 or 2 in a child
// never collides with itself. Close-on-exec is kept.
int AboveStandardStreams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int PidFdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  return -1;
#endif
}

bool Expired(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}

// Collects what a child writes to the read end of its pipe, keeping at most
// MaxOutputBytes.
class OutputCollector {
 public:
  OutputCollector(ChildRunResult& result, size_t max_bytes)
      : result_(result), max_bytes_(max_bytes) {}

  // Reads what is there. Returns false at the end of the output (or on an error
  // that ends it); true when the pipe is merely empty for now.
  bool ReadAvailable(int fd) {
    char buffer[kReadChunk];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof(buffer));
      if (n > 0) {
        Keep(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      return false;
    }
  }

 private:
  void Keep(const char* data, size_t n) {
    const size_t room = max_bytes_ - std::min(max_bytes_, result_.Output.size());
    if (n > room) result_.Truncated = true;
    result_.Output.append(data, std::min(n, room));
  }

  ChildRunResult& result_;
  size_t max_bytes_;
};

// Reads the pipe until its end or the deadline. Returns true at the end.
bool ReadUntilEnd(int fd, OutputCollector& collector,
                  const std::optional<Clock::time_point>& deadline) {
  for (;;) {
    if (!collector.ReadAvailable(fd)) return true;
    if (Expired(deadline)) return false;
    WaitReadable(fd, deadline);
  }
}

// Waits for the child's exit until the deadline. Returns true once reaped.
bool ReapBefore(pid_t pid, int pid_fd, const std::optional<Clock::time_point>& deadline,
                int& status) {
  auto delay = std::chrono::milliseconds(1);
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (Expired(deadline)) return false;
    if (pid_fd >= 0) {
      WaitReadable(pid_fd, deadline);
    } else {
      // Without a process descriptor: look again after a growing delay.
      const Clock::time_point next = Clock::now() + delay;
      WaitReadable(-1, deadline ? std::min(next, *deadline) : next);
      delay = std::min(delay * 2, std::chrono::milliseconds(20));
    }
  }
}

void ReapNow(pid_t pid, int& status) {
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Children whose output ended before they did. The caller has its output and
// goes on; a thread of their own collects each child as it ends, with a
// non-blocking wait for exactly the process ids handed over (never any other
// child of the process), so none is left a zombie and none is killed.
class LateReaper {
 public:
  static LateReaper& Instance() {
    // Never destroyed: its thread may still be waiting when the process ends.
    static LateReaper* reaper = new LateReaper();
    return *reaper;
  }

  void Adopt(pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    pids_.push_back(pid);
    if (!started_) {
      started_ = true;
      std::thread([this] { Run(); }).detach();
    }
    changed_.notify_one();
  }

 private:
  LateReaper() = default;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !pids_.empty(); });
      std::erase_if(pids_, [](pid_t pid) {
        int status = 0;
        pid_t done;
        while ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        return done != 0;  // reaped, or not ours to wait for any more
      });
      changed_.wait_for(lock, kReapInterval);
    }
  }

  static constexpr std::chrono::milliseconds kReapInterval{100};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<pid_t> pids_;
  bool started_ = false;
};

// posix_spawn with the child's standard streams, process group, signal state and
// descriptors set up. Returns 0 or the errno of the failure.
int SpawnOnPipe(std::vector<std::string> args, int write_fd, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, write_fd, STDERR_FILENO);
  // The child must never hold the agent's sockets, lock file or other pipes.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

  sigset_t no_signals;
  sigset_t all_signals;
  sigemptyset(&no_signals);
  sigfillset(&all_signals);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &no_signals);
  posix_spawnattr_setsigdefault(&attr, &all_signals);

  std::vector<char*> argv = ArgvOf(args);
  int err = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  if (err == ENOEXEC && args[0] != kShell) {
    // An executable text file without a "#!" line: what a shell would do with it.
    args.insert(args.begin(), kShell);
    argv = ArgvOf(args);
    err = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return err;
}

// Closes every descriptor from 3 up except keep (a child after fork: only
// async-signal-safe calls).
void CloseDescriptorsExcept(int keep, int max_fd) {
  const bool below_closed = keep <= STDERR_FILENO + 1 ||
                            close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep - 1), 0) == 0;
  if (below_closed && close_range(static_cast<unsigned>(keep + 1), ~0U, 0) == 0) return;
  for (int fd = STDERR_FILENO + 1; fd < max_fd; ++fd) {
    if (fd != keep) close(fd);
  }
}

// Records written by the children of SpawnDetached to its report pipe.
struct SpawnReport {
  int32_t kind;  // kReportPid or kReportError
  int32_t value;
};
constexpr int32_t kReportPid = 1;
constexpr int32_t kReportError = 2;

void Report(int fd, int32_t kind, int32_t value) {
  const SpawnReport report{kind, value};
  const ssize_t ignored = write(fd, &report, sizeof(report));
  (void)ignored;
}

}  // namespace

std::optional<std::vector<std::string>> ResolveCommand(std::vector<std::string> args) {
  if (args.empty() || args[0].empty()) return std::nullopt;
  std::optional<std::string> path = FindProgram(args[0]);
  if (!path) return std::nullopt;
  args[0] = *path;
  // A script without its execute bit, as Windows would run a batch file.
  if (!IsExecutable(*path)) args.insert(args.begin(), kShell);
  return args;
}

ChildRunResult RunChildProcess(const std::vector<std::string>& args, const ChildRunLimits& limits) {
  ChildRunResult result;
  std::optional<std::vector<std::string>> resolved = ResolveCommand(args);
  if (!resolved) {
    result.StartError = ChildStartError::kNotStarted;
    result.Errno = ENOENT;
    return result;
  }

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.StartError = ChildStartError::kPipeFailed;
    result.Errno = errno;
    return result;
  }
  int read_fd = AboveStandardStreams(fds[0]);
  int write_fd = AboveStandardStreams(fds[1]);
  if (read_fd < 0 || write_fd < 0) {
    result.StartError = ChildStartError::kPipeFailed;
    result.Errno = errno;
    CloseIfOpen(read_fd);
    CloseIfOpen(write_fd);
    return result;
  }

  pid_t pid = -1;
  const int err = SpawnOnPipe(std::move(*resolved), write_fd, pid);
  // Without our copy of the write end the pipe ends when the child side closes.
  CloseIfOpen(write_fd);
  if (err != 0) {
    CloseIfOpen(read_fd);
    result.StartError = ChildStartError::kNotStarted;
    result.Errno = err;
    return result;
  }

  std::optional<Clock::time_point> deadline;
  if (limits.Timeout.count() > 0) deadline = Clock::now() + limits.Timeout;
  fcntl(read_fd, F_SETFL, fcntl(read_fd, F_GETFL) | O_NONBLOCK);
  int pid_fd = PidFdOpen(pid);

  OutputCollector collector(result, limits.MaxOutputBytes);
  int status = 0;
  if (ReadUntilEnd(read_fd, collector, deadline)) {
    // The output has ended. A child usually ends with it; one that closed its
    // output and works on is left to run and is collected when it ends.
    if (ReapBefore(pid, pid_fd, Clock::now() + kExitGrace, status)) {
      result.ExitStatus = status;
    } else {
      LateReaper::Instance().Adopt(pid);
    }
  } else {
    result.TimedOut = true;
    // The whole group: a child's own children would otherwise keep running and
    // keep the pipe open. The child itself too, should it have left the group.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    collector.ReadAvailable(read_fd);
    ReapNow(pid, status);
    result.ExitStatus = status;
  }
  CloseIfOpen(pid_fd);
  CloseIfOpen(read_fd);
  return result;
}

ChildRunResult RunCommandLine(std::string_view command_line, const ChildRunLimits& limits) {
  return RunChildProcess(SplitCommandLine(command_line), limits);
}

std::optional<int> SpawnDetached(const std::vector<std::string>& args,
                                 const std::string& working_directory) {
  std::optional<std::vector<std::string>> resolved = ResolveCommand(args);
  if (!resolved) return std::nullopt;
  std::vector<std::string> shell_args = *resolved;
  shell_args.insert(shell_args.begin(), kShell);
  // Everything the children use is prepared here: after fork only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv = ArgvOf(*resolved);
  std::vector<char*> shell_argv = ArgvOf(shell_args);
  const char* folder = working_directory.empty() ? nullptr : working_directory.c_str();
  rlimit limit{};
  const int max_fd = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                         ? static_cast<int>(limit.rlim_cur)
                         : 65536;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  int read_fd = AboveStandardStreams(fds[0]);
  int report_fd = AboveStandardStreams(fds[1]);
  if (read_fd < 0 || report_fd < 0) {
    CloseIfOpen(read_fd);
    CloseIfOpen(report_fd);
    return std::nullopt;
  }

  const pid_t middle = fork();
  if (middle == 0) {
    // The middle child: a new session, one more fork, and gone, so the program
    // is adopted by init (or the nearest subreaper) and never becomes our zombie.
    setsid();
    const pid_t program = fork();
    if (program > 0) Report(report_fd, kReportPid, program);
    if (program < 0) Report(report_fd, kReportError, errno);
    if (program != 0) _exit(0);

    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigprocmask(SIG_SETMASK, &no_signals, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &default_action, nullptr);
    if (folder != nullptr && chdir(folder) != 0) {
      Report(report_fd, kReportError, errno);
      _exit(127);
    }
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    CloseDescriptorsExcept(report_fd, max_fd);
    execv(argv[0], argv.data());
    if (errno == ENOEXEC) execv(shell_argv[0], shell_argv.data());
    Report(report_fd, kReportError, errno);
    _exit(127);
  }
  CloseIfOpen(report_fd);
  if (middle < 0) {
    CloseIfOpen(read_fd);
    return std::nullopt;
  }
  int status = 0;
  ReapNow(middle, status);

  // The pipe ends when the program has been exec'd (close-on-exec) or has failed.
  std::optional<int> program_pid;
  bool failed = false;
  SpawnReport report{};
  for (;;) {
    const ssize_t n = read(read_fd, &report, sizeof(report));
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof(report))) break;
    if (report.kind == kReportPid) program_pid = report.value;
    if (report.kind == kReportError) failed = true;
  }
  CloseIfOpen(read_fd);
  if (failed) return std::nullopt;
  return program_pid;
}

}  // namespace platform
