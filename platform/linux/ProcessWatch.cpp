#include "platform/ProcessWatch.h"

#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "platform/FileAccess.h"
#include "platform/linux/ProcReaders.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStatePollPeriod = std::chrono::milliseconds(2);

// A descriptor that becomes readable when the process exits, or -1 (process
// gone, or no pidfd support: errno tells which).
int OpenProcessDescriptor(int pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// Whether the process has ended according to /proc: gone, or a zombie (or
// dead) waiting for its parent.
bool EndedByProcState(int pid) {
  const std::optional<std::string> text =
      ReadKernelFileText("/proc/" + std::to_string(pid) + "/stat", kMaxProcTextBytes);
  if (!text) return true;
  const std::string_view line = std::string_view(*text).substr(0, text->find('\n'));
  const size_t paren = line.rfind(')');
  if (paren == std::string::npos || paren + 2 >= line.size()) return true;
  const char state = line[paren + 2];
  return state == 'Z' || state == 'X' || state == 'x';
}

int PollMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1000 * 60));
}

}  // namespace

bool WaitForProcessesToEnd(const std::vector<int>& pids, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  // Processes watched through a descriptor, and those only /proc can tell about
  // (kernels without pidfd_open).
  std::vector<pollfd> watched;
  std::vector<int> by_state;
  for (const int pid : pids) {
    if (pid <= 0) continue;
    const int fd = OpenProcessDescriptor(pid);
    if (fd >= 0) {
      watched.push_back(pollfd{fd, POLLIN, 0});
    } else if (errno != ESRCH) {
      by_state.push_back(pid);
    }
  }

  bool all_ended = true;
  while (!watched.empty() || !by_state.empty()) {
    std::erase_if(by_state, EndedByProcState);
    if (watched.empty() && by_state.empty()) break;
    if (Clock::now() >= deadline) {
      all_ended = false;
      break;
    }
    int wait_ms = PollMilliseconds(deadline);
    if (!by_state.empty()) {
      wait_ms = std::min(wait_ms, static_cast<int>(kStatePollPeriod.count()));
    }
    if (watched.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
      continue;
    }
    const int ready = poll(watched.data(), watched.size(), wait_ms);
    if (ready < 0 && errno != EINTR) {
      // Nothing more can be learnt about these processes: report them as running.
      all_ended = false;
      break;
    }
    std::erase_if(watched, [](const pollfd& p) {
      if (p.revents == 0) return false;
      close(p.fd);
      return true;
    });
  }
  for (const pollfd& p : watched) close(p.fd);
  return all_ended;
}

bool ProcessIsRunning(int pid) {
  return pid > 0 && !EndedByProcState(pid);
}

}  // namespace platform
