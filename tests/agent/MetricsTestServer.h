#pragma once
// The metrics endpoint for tests, on a thread of its own: a MetricsEndpoint
// listening on a free port of 127.0.0.1, served by the agent's loop on that
// thread until the object goes. Nothing else may use the agent's loop
// meanwhile.

#include <atomic>
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
  // The connections the endpoint holds, as of its last wake.
  int connections() const { return connections_; }

 private:
  int wake_[2] = {-1, -1};
  std::atomic<int> port_{0};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace agent
