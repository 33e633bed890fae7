#include "agent/RRDLauncher.h"

#include <system_error>

namespace agent {

RrdLauncher::~RrdLauncher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RrdLauncher::Post(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&RrdLauncher::Run, this);
    } catch (const std::system_error&) {
      // No thread to be had: the caller pays for the starts itself.
      lock.unlock();
      try {
        job();
      } catch (...) {
      }
      return;
    }
  }
  jobs_.push_back(std::move(job));
  lock.unlock();
  changed_.notify_all();
}

bool RrdLauncher::WaitIdle(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return jobs_.empty() && !running_job_; });
}

void RrdLauncher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left to start
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    running_job_ = true;
    lock.unlock();
    try {
      job();
    } catch (...) {
      // Jobs log their own failures; nothing may end this thread early.
    }
    lock.lock();
    running_job_ = false;
    changed_.notify_all();
  }
}

RrdLauncher& TheRrdLauncher() {
  static RrdLauncher launcher;
  return launcher;
}

}  // namespace agent
