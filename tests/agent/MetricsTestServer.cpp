#include "tests/agent/MetricsTestServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <future>

#include "agent/EventLoop.h"
#include "agent/MetricsServer.h"

namespace agent {

MetricsTestServer::MetricsTestServer(const MetricsSite& site) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  std::promise<void> listening;
  thread_ = std::thread([this, &site, &listening] {
    MetricsEndpoint endpoint(site);
    if (endpoint.Listen("127.0.0.1", 0)) port_ = endpoint.Port();
    listening.set_value();
    if (port_ <= 0) return;
    const ReadableOnce stop(wake_[0]);
    TheEventLoop().RunUntil(Clock::time_point::max(), [&] {
      connections_ = static_cast<int>(endpoint.ConnectionCount());
      return stop.Ready();
    });
  });
  listening.get_future().wait();
}

MetricsTestServer::~MetricsTestServer() {
  if (thread_.joinable()) {
    const char stop = 's';
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
  }
  for (const int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

}  // namespace agent
