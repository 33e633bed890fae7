#pragma once
// The one place where the agent's thread waits. The loop holds a table of
// watched descriptors, each with the handler of its kind (the listening socket,
// a client connection, a child's output, the stop request). The pauses, the
// polling cycle and the program runner all wait through it, so whatever the
// thread waits for, every client is looked at meanwhile.
//
// Waits nest: a handler may itself wait through the loop (a request that runs a
// program waits for the program's output), and the clients are served from
// that inner wait as well. Handlers never block.

#include <chrono>
#include <functional>
#include <vector>

namespace agent {

using Clock = std::chrono::steady_clock;

// A deadline that has come whenever it is looked at: work to do at once.
inline constexpr Clock::time_point kDueNow = Clock::time_point::min();

// A descriptor the loop watches and the handler of its kind. A watcher is added
// to the loop by its owner and removes itself when destroyed.
class Watcher {
 public:
  Watcher() = default;
  virtual ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // The descriptor polled.
  virtual int Descriptor() const = 0;
  // The poll events wanted now; 0 leaves the descriptor out of this wait.
  virtual short WantedEvents() const = 0;
  // Handles what poll reported (POLLIN, POLLOUT, POLLHUP, POLLERR). Never blocks.
  virtual void OnReady(short revents) = 0;
  // When the watcher has something to do without any event (a time limit, work
  // that was held back): kDueNow for at once, Clock::time_point::max() for
  // nothing.
  virtual Clock::time_point Deadline() const { return Clock::time_point::max(); }
  // Called once Deadline() has come.
  virtual void OnDeadline() {}
};

class EventLoop {
 public:
  // Adds a watcher (also from inside a handler: it is polled from the next wait).
  void Add(Watcher& watcher);
  // Removes a watcher; from inside a handler too, and it is not called again.
  void Remove(Watcher& watcher);
  bool Watches(const Watcher& watcher) const;

  // Waits through the loop until `until`, handling every ready descriptor and
  // every deadline that comes, and ends early once `done` holds (tested before
  // each wait and after each round of handlers). Returns whether `done` held.
  bool RunUntil(Clock::time_point until, const std::function<bool()>& done);

  // One round without waiting: handles the descriptors that are ready now and
  // the deadlines that have come.
  void HandleReady();

  // How deeply waits are nested now (0: no wait in progress).
  int Depth() const { return depth_; }

 private:
  // Handles due deadlines; returns the earliest deadline still ahead.
  Clock::time_point HandleDeadlines(Clock::time_point now);
  // One poll up to `until` and the handlers of what it reports.
  void PollOnce(Clock::time_point until);
  // Drops the slots of removed watchers once no wait is walking the table.
  void Compact();

  class Nesting;

  std::vector<Watcher*> watchers_;  // removed ones are nullptr until compacted
  int depth_ = 0;
};

// The agent's loop.
EventLoop& TheEventLoop();

// A descriptor watched until it is first readable (an event, a pipe, a process).
class ReadableOnce final : public Watcher {
 public:
  // Watches fd (-1: nothing) from now on.
  explicit ReadableOnce(int fd);
  int Descriptor() const override { return fd_; }
  short WantedEvents() const override;
  void OnReady(short) override { ready_ = true; }
  bool Ready() const { return ready_; }

 private:
  int fd_;
  bool ready_ = false;
};

// Waits through the agent's loop until fd is readable or `until` has come,
// serving the clients meanwhile. A descriptor of -1 waits for `until` alone.
void WaitReadable(int fd, Clock::time_point until);

}  // namespace agent
