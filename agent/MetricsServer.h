#pragma once
// The metrics endpoint on the agent's loop: a listening socket on METRICSPORT
// and its connections, each a watcher of the loop that drives a
// MetricsSession. Its connections have a table of their own: they never take
// a slot of the command port. Nothing here waits: the listener accepts what is
// queued, a connection reads and writes what its socket takes, and every
// handler returns.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/EventLoop.h"
#include "agent/MetricsSession.h"

namespace agent {

class MetricsConnection;

// How long a connection that is done keeps reading (and dropping) what its
// peer still sends before it closes, so that the peer reads the last answer
// instead of a reset.
inline constexpr std::chrono::seconds kMetricsLingerLimit{5};

class MetricsEndpoint final : public Watcher {
 public:
  // The site must outlive the endpoint (the agent's is static).
  explicit MetricsEndpoint(const MetricsSite& site);
  ~MetricsEndpoint() override;

  // Listens on address (the forms of LISTEN) and port unless it listens
  // already, and watches the listening socket again if it stopped accepting
  // (no descriptor left). A failure is logged at level 1 when its cause is not
  // the one logged last; the caller tries again later. Returns whether it
  // listens.
  bool Listen(const std::string& address, int32_t port);
  // Closes the listening socket and every connection.
  void Close();

  // The port listened on, or -1.
  int32_t Port() const;
  // Connections held (closing ones included, until they have closed).
  size_t ConnectionCount() const;

  int Descriptor() const override { return socket_; }
  short WantedEvents() const override;
  void OnReady(short revents) override;
  Clock::time_point Deadline() const override;
  void OnDeadline() override;

 private:
  // Takes an accepted socket: serves what it has sent already and, when more
  // than kMaxMetricsConnections are held, closes the one whose last activity
  // is oldest.
  void TakeIn(int socket_fd, std::string peer_address);
  void ReleaseClosed();

  const MetricsSite& site_;
  int socket_ = -1;
  bool accepting_ = true;
  std::string last_failure_;  // the failure logged last; empty once listening
  std::vector<std::unique_ptr<MetricsConnection>> connections_;
};

// The agent's endpoint.
MetricsEndpoint& TheMetricsEndpoint();

// Once per turn of the main loop: when METRICSPORT is set, listens on it at
// METRICSLISTEN (or LISTEN) if the endpoint does not listen yet. Nothing when
// METRICSPORT is absent or 0.
void KeepMetricsListening();

}  // namespace agent
