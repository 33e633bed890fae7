#include "agent/MetricsServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "agent/CommandServer.h"
#include "agent/MetricsContent.h"
#include "common/AgentConfig.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

// Connections accepted in one wake of the listener; more stay in the listen
// queue for the next round, so that a burst of them never keeps the thread
// from the command port for long.
constexpr int kAcceptsPerWake = 16;
constexpr size_t kReceiveChunk = 16 * 1024;

bool TransientError(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

std::string PeerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

}  // namespace

// One connection of the endpoint: its socket, watched by the agent's loop, and
// the session that answers what arrives on it. Once the session is done the
// connection stops sending and reads (dropping it) what the peer still sends,
// up to kMetricsLingerLimit: closing with unread bytes would reset the
// connection and could take the last answer away from a peer still sending
// (the rest of an over-long request line, say).
class MetricsConnection final : public Watcher {
 public:
  MetricsConnection(int socket_fd, std::string peer_address, const MetricsSite& site,
                    bool peer_allowed)
      : socket_(socket_fd),
        peer_address_(peer_address),
        session_(site, std::move(peer_address), peer_allowed, Clock::now()) {
    TheEventLoop().Add(*this);
  }
  ~MetricsConnection() override { Close(); }

  int Descriptor() const override { return socket_; }

  short WantedEvents() const override {
    if (Closed()) return 0;
    if (Lingering()) return POLLIN;
    return static_cast<short>((session_.WantsRead() ? POLLIN : 0) |
                              (session_.WantsWrite() ? POLLOUT : 0));
  }

  void OnReady(short revents) override {
    if (Closed()) return;
    // The peer is gone (or the connection failed): nothing can reach it.
    if ((revents & (POLLERR | POLLHUP)) != 0) {
      Close();
      return;
    }
    if (Lingering()) {
      Drain();
      return;
    }
    const Clock::time_point now = Clock::now();
    if ((revents & POLLOUT) != 0) Send(now);
    if ((revents & POLLIN) != 0 && !Closed() && session_.WantsRead()) ServeNow();
    EndIfDone(now);
  }

  Clock::time_point Deadline() const override {
    if (Closed()) return Clock::time_point::max();
    if (Lingering()) return *linger_until_;
    return session_.Deadline();
  }

  void OnDeadline() override {
    const Clock::time_point now = Clock::now();
    if (Lingering()) {
      if (now >= *linger_until_) Close();
      return;
    }
    session_.Expire(now);
    EndIfDone(now);
  }

  // Reads once what the peer has sent and sends the answer it asks for as far
  // as the socket takes it.
  void ServeNow() {
    const Clock::time_point now = Clock::now();
    Receive(now);
    if (!Closed() && session_.WantsWrite()) Send(now);
    EndIfDone(now);
  }

  void Close() {
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
    TheEventLoop().Remove(*this);
  }

  bool Closed() const { return socket_ < 0; }
  // Its session has ended: it only waits for the peer to close.
  bool Lingering() const { return linger_until_.has_value(); }
  Clock::time_point LastActivity() const { return session_.LastActivity(); }
  const std::string& PeerAddress() const { return peer_address_; }

 private:
  void Receive(Clock::time_point now) {
    static char buffer[kReceiveChunk];
    const ssize_t n = recv(socket_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) {
      session_.Receive(std::string_view(buffer, static_cast<size_t>(n)), now);
    } else if (n == 0) {
      session_.ReceiveEnd(now);
    } else if (!TransientError(errno)) {
      Close();
    }
  }

  void Send(Clock::time_point now) {
    const std::string_view output = session_.Output();
    const ssize_t n = send(socket_, output.data(), output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      session_.Sent(static_cast<size_t>(n), now);
    } else if (n < 0 && !TransientError(errno)) {
      Close();
    }
  }

  // Once the session is done: no more sending, and the peer is given the
  // linger time to read the answer and close.
  void EndIfDone(Clock::time_point now) {
    if (Closed() || Lingering() || !session_.Done()) return;
    shutdown(socket_, SHUT_WR);
    linger_until_ = now + kMetricsLingerLimit;
  }

  // Reads and drops what the peer sends, a bounded amount per wake; closes once
  // the peer has closed.
  void Drain() {
    static char buffer[kReceiveChunk];
    for (int k = 0; k < 4; ++k) {
      const ssize_t n = recv(socket_, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n > 0) continue;
      if (n == 0 || !TransientError(errno)) Close();
      return;
    }
  }

  int socket_;
  std::string peer_address_;
  MetricsSession session_;
  std::optional<Clock::time_point> linger_until_;
};

MetricsEndpoint::MetricsEndpoint(const MetricsSite& site) : site_(site) {}

MetricsEndpoint::~MetricsEndpoint() {
  Close();
}

bool MetricsEndpoint::Listen(const std::string& address, int32_t port) {
  accepting_ = true;
  if (socket_ >= 0) return true;
  const std::string where = (address.empty() ? "0.0.0.0" : address) + ":" + std::to_string(port);
  ListenerError error;
  const int socket_fd = OpenListeningSocket(address, port, error);
  if (socket_fd < 0) {
    // Tried again every turn: the same cause is logged once, not every turn.
    const std::string failure = where + ": " + error.Step + ": " + std::strerror(error.Error) +
                                " (" + std::to_string(error.Error) + ")";
    if (failure != last_failure_) {
      common::WriteLog(common::GeneralDateTextNow() + " metrics endpoint cannot listen on " +
                           failure + "; trying again each turn",
                       1);
      last_failure_ = failure;
    }
    return false;
  }
  // After a failure was logged, that it now listens is worth a line as well.
  common::WriteLog(common::GeneralDateTextNow() + " metrics endpoint listening on " + where,
                   last_failure_.empty() ? 2 : 1);
  last_failure_.clear();
  socket_ = socket_fd;
  TheEventLoop().Add(*this);
  return true;
}

void MetricsEndpoint::Close() {
  connections_.clear();
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  TheEventLoop().Remove(*this);
}

int32_t MetricsEndpoint::Port() const {
  return socket_ >= 0 ? ListenerPort(socket_) : -1;
}

size_t MetricsEndpoint::ConnectionCount() const {
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const auto& c) { return !c->Closed(); }));
}

short MetricsEndpoint::WantedEvents() const {
  return socket_ >= 0 && accepting_ ? POLLIN : 0;
}

void MetricsEndpoint::OnReady(short) {
  for (int k = 0; k < kAcceptsPerWake && socket_ >= 0; ++k) {
    sockaddr_in peer{};
    socklen_t peer_length = sizeof(peer);
    const int accepted = accept4(socket_, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
      TakeIn(accepted, PeerText(peer));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // Anything but an empty queue (no descriptor left, for one) stops the
    // watching of the listening socket until the next turn.
    if (errno != EAGAIN && errno != EWOULDBLOCK) accepting_ = false;
    return;
  }
}

Clock::time_point MetricsEndpoint::Deadline() const {
  const bool closed = std::any_of(connections_.begin(), connections_.end(),
                                  [](const auto& c) { return c->Closed(); });
  return closed ? kDueNow : Clock::time_point::max();
}

void MetricsEndpoint::OnDeadline() {
  ReleaseClosed();
}

void MetricsEndpoint::TakeIn(int socket_fd, std::string peer_address) {
  const bool allowed = MetricsClientAllowed(peer_address, common::TheAgentConfig());
  connections_.push_back(
      std::make_unique<MetricsConnection>(socket_fd, std::move(peer_address), site_, allowed));
  // A scraper sends its request with the connection: it is answered at once.
  connections_.back()->ServeNow();
  ReleaseClosed();
  if (connections_.size() <= static_cast<size_t>(kMaxMetricsConnections)) return;
  // The one to close: a lingering one first (it has had its answer), else the
  // one whose last answer is oldest. Prometheus, active at every scrape, stays.
  const auto oldest = std::min_element(
      connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
        if (a->Lingering() != b->Lingering()) return a->Lingering();
        return a->LastActivity() < b->LastActivity();
      });
  if (common::TheAgentConfig().LogLevel >= 2 && !(*oldest)->Lingering()) {
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        Clock::now() - (*oldest)->LastActivity());
    common::WriteLog(common::GeneralDateTextNow() + " metrics connection from " +
                         (*oldest)->PeerAddress() + " closed, idle for " +
                         std::to_string(idle.count()) + " ms: at most " +
                         std::to_string(kMaxMetricsConnections) + " are held",
                     2);
  }
  connections_.erase(oldest);
}

void MetricsEndpoint::ReleaseClosed() {
  std::erase_if(connections_, [](const auto& c) { return c->Closed(); });
}

MetricsEndpoint& TheMetricsEndpoint() {
  // Never destroyed: its connections must not outlive the loop they are in.
  static MetricsEndpoint* endpoint = new MetricsEndpoint(AgentMetricsSite());
  return *endpoint;
}

void KeepMetricsListening() {
  const common::AgentConfig& config = common::TheAgentConfig();
  if (config.MetricsPort <= 0) return;
  TheMetricsEndpoint().Listen(config.MetricsListen.value_or(config.ListenAddress),
                              config.MetricsPort);
}

}  // namespace agent
