#pragma once
// A thread of its own for one frame's service-manager calls, so that a slow
// call (the stop of a hung service waits up to 30 s for its answer, a start
// may wait seconds for the manager's lock) holds up neither the window nor the
// other frame. Jobs run one after another in the order given; each hands its
// result back to the window's thread.

#include <QObject>
#include <QThread>

#include <functional>
#include <utility>

namespace installer {

class ServiceWorker {
 public:
  ServiceWorker();
  // Lets the job in progress end and drops those not begun.
  ~ServiceWorker();
  ServiceWorker(const ServiceWorker&) = delete;
  ServiceWorker& operator=(const ServiceWorker&) = delete;

  // Runs job on the worker's thread, then done with its result on receiver's
  // thread. receiver must outlive the worker (the window owns its workers), so
  // a result that arrives after it has gone is never delivered.
  template <typename Result>
  void Run(std::function<Result()> job, QObject* receiver, std::function<void(Result)> done) {
    QMetaObject::invokeMethod(
        context_,
        [job = std::move(job), receiver, done = std::move(done)] {
          Result result = job();
          QMetaObject::invokeMethod(
              receiver, [done, result = std::move(result)] { done(result); },
              Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
  }

 private:
  QThread thread_;
  QObject* context_;  // lives on thread_: the queued jobs are its events
};

}  // namespace installer
