#include "installer/ServiceWorker.h"

namespace installer {

ServiceWorker::ServiceWorker() : context_(new QObject) {
  context_->moveToThread(&thread_);
  thread_.start();
}

ServiceWorker::~ServiceWorker() {
  thread_.quit();
  thread_.wait();
  delete context_;  // its thread has ended: the jobs not begun go with it
}

}  // namespace installer
