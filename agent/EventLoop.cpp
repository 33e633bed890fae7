#include "agent/EventLoop.h"

#include <poll.h>

#include <algorithm>
#include <climits>

namespace agent {
namespace {

// What one wait polls: the descriptors and the table slots they belong to.
// Kept per nesting depth, so that no wait allocates once the agent runs.
struct PollSet {
  std::vector<pollfd> fds;
  std::vector<size_t> slots;
};

std::vector<PollSet>& PollSets() {
  static std::vector<PollSet> sets;
  return sets;
}

int PollTimeout(Clock::time_point now, Clock::time_point until) {
  if (until <= now) return 0;
  if (until == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

}  // namespace

Watcher::~Watcher() {
  TheEventLoop().Remove(*this);
}

void EventLoop::Add(Watcher& watcher) {
  if (!Watches(watcher)) watchers_.push_back(&watcher);
}

void EventLoop::Remove(Watcher& watcher) {
  const auto found = std::find(watchers_.begin(), watchers_.end(), &watcher);
  if (found == watchers_.end()) return;
  *found = nullptr;
  Compact();
}

bool EventLoop::Watches(const Watcher& watcher) const {
  return std::find(watchers_.begin(), watchers_.end(), &watcher) != watchers_.end();
}

void EventLoop::Compact() {
  if (depth_ == 0) std::erase(watchers_, nullptr);
}

Clock::time_point EventLoop::HandleDeadlines(Clock::time_point now) {
  Clock::time_point earliest = Clock::time_point::max();
  // By index: a handler may add watchers (appended) or remove some (nulled).
  for (size_t k = 0; k < watchers_.size(); ++k) {
    Watcher* watcher = watchers_[k];
    if (watcher == nullptr) continue;
    Clock::time_point deadline = watcher->Deadline();
    if (deadline <= now) {
      watcher->OnDeadline();
      if (watchers_[k] == nullptr) continue;
      deadline = watcher->Deadline();
      // A deadline that is still due after its handler ran is met in the next
      // round, never in a loop here.
      if (deadline <= now) deadline = now + std::chrono::milliseconds(1);
    }
    earliest = std::min(earliest, deadline);
  }
  return earliest;
}

void EventLoop::PollOnce(Clock::time_point until) {
  if (PollSets().size() <= static_cast<size_t>(depth_)) PollSets().resize(depth_ + 1);
  PollSet& set = PollSets()[static_cast<size_t>(depth_)];
  set.fds.clear();
  set.slots.clear();
  for (size_t k = 0; k < watchers_.size(); ++k) {
    const Watcher* watcher = watchers_[k];
    if (watcher == nullptr) continue;
    const short events = watcher->WantedEvents();
    if (events == 0) continue;
    set.fds.push_back(pollfd{watcher->Descriptor(), events, 0});
    set.slots.push_back(k);
  }
  const int ready = poll(set.fds.data(), set.fds.size(), PollTimeout(Clock::now(), until));
  if (ready <= 0) return;
  // The set of a nested wait may grow the vector of sets: index, never refer.
  const size_t depth = static_cast<size_t>(depth_);
  for (size_t k = 0; k < PollSets()[depth].fds.size(); ++k) {
    const short revents = PollSets()[depth].fds[k].revents;
    if (revents == 0) continue;
    Watcher* watcher = watchers_[PollSets()[depth].slots[k]];
    if (watcher != nullptr) watcher->OnReady(revents);
  }
}

// Counts a wait in progress for its whole length, however it ends.
class EventLoop::Nesting {
 public:
  explicit Nesting(EventLoop& loop) : loop_(loop) { ++loop_.depth_; }
  ~Nesting() {
    --loop_.depth_;
    loop_.Compact();
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;

 private:
  EventLoop& loop_;
};

bool EventLoop::RunUntil(Clock::time_point until, const std::function<bool()>& done) {
  const Nesting nesting(*this);
  bool met = false;
  while (true) {
    if (done && done()) {
      met = true;
      break;
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point next = HandleDeadlines(now);
    if (done && done()) {
      met = true;
      break;
    }
    if (now >= until) break;
    PollOnce(std::min(next, until));
  }
  return met;
}

void EventLoop::HandleReady() {
  const Nesting nesting(*this);
  HandleDeadlines(Clock::now());
  PollOnce(Clock::time_point::min());
}

ReadableOnce::ReadableOnce(int fd) : fd_(fd) {
  if (fd_ >= 0) TheEventLoop().Add(*this);
}

short ReadableOnce::WantedEvents() const {
  return ready_ ? 0 : POLLIN;
}

void WaitReadable(int fd, Clock::time_point until) {
  const ReadableOnce watch(fd);
  TheEventLoop().RunUntil(until, [&watch] { return watch.Ready(); });
}

EventLoop& TheEventLoop() {
  // Never destroyed: watchers that live as long as the program leave it last.
  static EventLoop* loop = new EventLoop();
  return *loop;
}

}  // namespace agent
