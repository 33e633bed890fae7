#pragma once
// The thread that starts the RRD feed's rrdtool processes. Starting a program
// without waiting for it still costs a fork and the wait for its exec (a
// millisecond or more each on a busy machine); a feed starts seven or more, and
// its creations must end before its updates start. Doing that here keeps the
// agent's main thread, which serves the clients, free of all of it.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace agent {

class RrdLauncher {
 public:
  RrdLauncher() = default;
  // Runs the jobs still queued, then ends the thread.
  ~RrdLauncher();
  RrdLauncher(const RrdLauncher&) = delete;
  RrdLauncher& operator=(const RrdLauncher&) = delete;

  // Queues a job; jobs run one after another in the order posted, on one thread
  // started by the first post. When no thread can be started the job runs at
  // once on the caller's thread. Jobs trap their own failures.
  void Post(std::function<void()> job);

  // Waits until every job posted so far has run, at most limit. Returns whether
  // they all had.
  bool WaitIdle(std::chrono::milliseconds limit);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  bool running_job_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// The agent's launcher of RRD processes.
RrdLauncher& TheRrdLauncher();

}  // namespace agent
