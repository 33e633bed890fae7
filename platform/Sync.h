#pragma once
// Manual-reset events that can be waited on together with sockets, in place of
// the Windows event objects and WaitForMultipleObjects.

#include <span>

namespace platform {

// A manual-reset event: once set it stays signalled until reset. Its file
// descriptor reads as readable while the event is signalled, so it can be
// polled together with sockets.
class ManualResetEvent {
 public:
  ManualResetEvent();
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until the event is set or timeout_ms passes (negative: no limit).
  // Returns true when the event is set.
  bool Wait(int timeout_ms) const;
  int fd() const { return fd_; }

 private:
  int fd_;
};

inline constexpr int kWaitTimeout = -1;

// Waits until one of the descriptors is readable or timeout_ms passes (negative:
// no limit). Returns the index of the first readable descriptor, or kWaitTimeout.
int WaitForAnyReadable(std::span<const int> fds, int timeout_ms);

}  // namespace platform
