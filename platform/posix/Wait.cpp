#include "platform/Wait.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <thread>
#include <utility>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kYieldInterval = std::chrono::milliseconds(1);

struct InstalledWait {
  WaitHook hook;
  std::thread::id thread;
  Clock::time_point last_yield;
};

InstalledWait& Installed() {
  static InstalledWait installed;
  return installed;
}

bool HookApplies() {
  const InstalledWait& installed = Installed();
  return installed.hook && installed.thread == std::this_thread::get_id();
}

}  // namespace

WaitHook SetWaitHook(WaitHook hook) {
  InstalledWait& installed = Installed();
  installed.thread = std::this_thread::get_id();
  installed.last_yield = Clock::now();
  return std::exchange(installed.hook, std::move(hook));
}

void WaitReadable(int fd, const WaitDeadline& deadline) {
  if (HookApplies()) {
    Installed().hook(fd, deadline);
    return;
  }
  int timeout = -1;
  if (deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
  }
  pollfd pfd{fd, POLLIN, 0};
  poll(&pfd, fd < 0 ? 0 : 1, timeout);
}

void YieldPoint() {
  if (!HookApplies()) return;
  const Clock::time_point now = Clock::now();
  if (now - Installed().last_yield < kYieldInterval) return;
  Installed().hook(-1, now);
  Installed().last_yield = Clock::now();
}

}  // namespace platform
