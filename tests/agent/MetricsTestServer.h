#pragma once
// A metrics endpoint for tests, on a thread of its own: a listening socket on
// a free port of 127.0.0.1 and its connections, each driven through a
// MetricsSession by one poll loop, as the agent's loop drives them.

#include <thread>

#include "agent/MetricsSession.h"

namespace agent {

class MetricsTestServer {
 public:
  explicit MetricsTestServer(const MetricsSite& site);
  ~MetricsTestServer();
  MetricsTestServer(const MetricsTestServer&) = delete;
  MetricsTestServer& operator=(const MetricsTestServer&) = delete;

  // The port it listens on; 0 when it could not listen.
  int port() const { return port_; }

 private:
  void Run();

  const MetricsSite& site_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
};

}  // namespace agent
