#include "platform/linux/FileSystemSizes.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/Wait.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Threads at most, stuck ones included; past it nothing more is asked.
constexpr int kMaxWorkers = 8;

// One call's paths and what the worker found; the caller may have given up on
// it by the time it ends, so it is shared.
struct Batch {
  std::vector<std::string> paths;
  std::vector<std::optional<struct statvfs>> results;
  bool done = false;
};

class SizeReaders {
 public:
  static SizeReaders& Instance() {
    // Never destroyed: a thread may be stuck in statvfs when the process ends.
    static SizeReaders* readers = new SizeReaders();
    return *readers;
  }

  std::vector<std::optional<struct statvfs>> Read(const std::vector<std::string>& paths,
                                                  std::chrono::milliseconds limit) {
    auto batch = std::make_shared<Batch>();
    batch->results.resize(paths.size());
    if (done_fd_ < 0) return batch->results;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A path still being asked by an earlier call is left out.
      for (const std::string& path : paths) {
        batch->paths.push_back(asking_.count(path) != 0 ? std::string() : path);
      }
      if (idle_ == 0) {
        if (workers_ >= kMaxWorkers) return batch->results;
        ++workers_;
        ++idle_;
        std::thread([this] { Work(); }).detach();
      }
      queue_.push_back(batch);
    }
    wake_.notify_one();

    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (batch->done) return batch->results;
        if (Clock::now() >= deadline) {
          // What has answered so far counts; the rest is not ready.
          std::erase(queue_, batch);
          return batch->results;
        }
      }
      WaitReadable(done_fd_, deadline);
      // Batches given up on end late and signal too: looked at above, then
      // the signal is taken.
      uint64_t count = 0;
      const ssize_t ignored = read(done_fd_, &count, sizeof(count));
      (void)ignored;
    }
  }

 private:
  SizeReaders() : done_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !queue_.empty(); });
      std::shared_ptr<Batch> batch = queue_.front();
      queue_.pop_front();
      --idle_;
      for (size_t k = 0; k < batch->paths.size(); ++k) {
        const std::string path = batch->paths[k];
        if (path.empty()) continue;
        asking_.insert(path);
        lock.unlock();
        struct statvfs info;
        const bool answered = statvfs(path.c_str(), &info) == 0;
        lock.lock();
        asking_.erase(path);
        if (answered) batch->results[k] = info;
      }
      batch->done = true;
      const uint64_t one = 1;
      const ssize_t ignored = write(done_fd_, &one, sizeof(one));
      (void)ignored;
      ++idle_;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Batch>> queue_;
  std::multiset<std::string> asking_;  // paths a worker is in statvfs on
  int workers_ = 0;
  int idle_ = 0;
  const int done_fd_;  // an event descriptor, readable when a batch is done
};

}  // namespace

std::vector<std::optional<struct statvfs>> ReadFileSystemSizes(
    const std::vector<std::string>& paths, std::chrono::milliseconds limit) {
  return SizeReaders::Instance().Read(paths, limit);
}

}  // namespace platform
