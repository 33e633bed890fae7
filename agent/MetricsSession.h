#pragma once
// One connection of the metrics endpoint, without its socket: the loop that
// owns the socket feeds it the bytes received and the time, sends what it
// yields, and closes the socket when it is done. HTTP/1.1 with keep-alive;
// GET and HEAD of "/metrics" (the exposition), "/" (a page for a person) and
// "/graphs/<name>" (the RRD feed's graph images, by a fixed list of names).
//
// How a loop drives it, on its one thread:
//   accepted:        MetricsSession session(site, peer, MetricsClientAllowed(peer, config), now)
//   readable:        when WantsRead(): recv, then Receive(bytes, now), or
//                    ReceiveEnd(now) when recv returned 0; a recv error closes
//   writable:        when WantsWrite(): send(Output()), then Sent(count, now)
//   each wake:       Expire(now) when now >= Deadline()
//   after any call:  close the socket and drop the session once Done()
// Deadline() is the time the loop must wake for this connection at the latest.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "agent/MetricsExposition.h"
#include "common/AgentConfig.h"

namespace agent {

// What the endpoint serves. The agent's own site reads its state at each
// request; tests put their own in.
struct MetricsSite {
  // The body of "/metrics" in the format asked for.
  std::function<std::string(ExpositionFormat format)> Exposition;
  // The HTML of "/".
  std::function<std::string()> Page;
  // The bytes of a graph image; name is one of kRrdGraphFiles. Nothing when
  // there is no such image to serve.
  std::function<std::optional<std::string>(std::string_view name)> Graph;
};

// How long a connection may wait between requests, and how long a request
// head may take to arrive once its first byte is in.
inline constexpr std::chrono::seconds kMetricsIdleLimit{60};
inline constexpr std::chrono::seconds kMetricsHeadLimit{10};
// The most connections the endpoint holds at once (the loop's rule).
inline constexpr int kMaxMetricsConnections = 10;

// Whether the peer (a dotted address) may scrape: any peer when METRICSCLIENTS
// is absent, otherwise the peers its list names, as REMOTECLIENTS does.
bool MetricsClientAllowed(std::string_view peer_address, const common::AgentConfig& config);

// The exposition format an Accept field asks for: OpenMetrics 1.0 when it
// weighs application/openmetrics-text (version 1.0.0 or none) above the text
// format 0.0.4; the text format otherwise, also when it names neither.
ExpositionFormat NegotiateExpositionFormat(std::string_view accept);

// Whether an Accept-Encoding field allows the gzip coding.
bool AcceptsGzip(std::string_view accept_encoding);

class MetricsSession {
 public:
  using Clock = std::chrono::steady_clock;

  // The site must outlive the session (the agent's is static). peer_allowed
  // false: the first request is answered 403, the refusal logged at level 2
  // with peer_address, and the connection closed.
  MetricsSession(const MetricsSite& site, std::string peer_address, bool peer_allowed,
                 Clock::time_point now);

  // Bytes received from the peer. Requests are answered one at a time, in
  // order; a request that arrives while an answer is being sent waits.
  void Receive(std::string_view bytes, Clock::time_point now);
  // The peer will send nothing more: what it asked for completely is still
  // answered, then the session is done.
  void ReceiveEnd(Clock::time_point now);

  // Bytes waiting to be sent, and how many of them the socket took.
  std::string_view Output() const { return std::string_view(output_).substr(output_sent_); }
  void Sent(size_t count, Clock::time_point now);

  // Whether the loop should read from the socket: no answer is waiting to be
  // sent and the session goes on.
  bool WantsRead() const { return !Done() && !closing_ && Output().empty(); }
  bool WantsWrite() const { return !Done() && !Output().empty(); }
  // The socket is to be closed now.
  bool Done() const { return aborted_ || (closing_ && Output().empty()); }

  // When the session must be looked at again: the idle limit after the last
  // answer (or the last progress of one being sent), or the head limit after
  // the first byte of a request that is not complete yet.
  Clock::time_point Deadline() const;
  // Ends the session when its deadline has passed (Done() then).
  void Expire(Clock::time_point now);
  // The last answer sent or the connection's start: the loop closes the
  // session idle longest when it must make room.
  Clock::time_point LastActivity() const { return last_activity_; }

 private:
  // Answers every complete request of the input while nothing waits to be sent.
  void AnswerRequests(Clock::time_point now);
  void Answer(std::string_view head_bytes, Clock::time_point now);
  void Queue(std::string response, bool close_after);

  const MetricsSite& site_;
  std::string peer_address_;
  bool peer_allowed_;
  std::string input_;
  size_t scanned_ = 0;  // input_ bytes already searched for the head's end
  Clock::time_point head_started_;
  std::string output_;
  size_t output_sent_ = 0;
  Clock::time_point last_activity_;
  bool closing_ = false;   // close once the output is sent
  bool aborted_ = false;   // close now, dropping any output
  bool peer_ended_ = false;
};

}  // namespace agent
