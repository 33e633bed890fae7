#include "platform/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

namespace platform {
namespace {

// poll() that resumes after signals with the time that is left.
int PollRetrying(pollfd* fds, size_t count, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    const int rc = poll(fds, count, timeout_ms);
    if (rc >= 0 || errno != EINTR) return rc;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

}  // namespace

// The eventfd counter stays non-zero, and so readable, until Reset drains it:
// that is the manual-reset behaviour.
ManualResetEvent::ManualResetEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ManualResetEvent::~ManualResetEvent() {
  if (fd_ >= 0) close(fd_);
}

void ManualResetEvent::Set() {
  const uint64_t one = 1;
  const ssize_t ignored = write(fd_, &one, sizeof(one));
  (void)ignored;
}

void ManualResetEvent::Reset() {
  uint64_t value = 0;
  const ssize_t ignored = read(fd_, &value, sizeof(value));
  (void)ignored;
}

bool ManualResetEvent::IsSet() const { return Wait(0); }

bool ManualResetEvent::Wait(int timeout_ms) const {
  pollfd p{fd_, POLLIN, 0};
  return PollRetrying(&p, 1, timeout_ms) > 0;
}

int WaitForAnyReadable(std::span<const int> fds, int timeout_ms) {
  std::vector<pollfd> polled;
  polled.reserve(fds.size());
  for (int fd : fds) polled.push_back(pollfd{fd, POLLIN, 0});
  if (PollRetrying(polled.data(), polled.size(), timeout_ms) <= 0) return kWaitTimeout;
  for (size_t k = 0; k < polled.size(); ++k) {
    if (polled[k].revents != 0) return static_cast<int>(k);
  }
  return kWaitTimeout;
}

}  // namespace platform
