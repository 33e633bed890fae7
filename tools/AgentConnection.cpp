#include "tools/AgentConnection.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/TextUtil.h"

namespace tools {
namespace {

using common::TlsFailure;

constexpr size_t kReadChunk = 64 * 1024;

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// A non-blocking connection to one address; -1 with *error set on failure.
int ConnectTo(const addrinfo& address, Clock::time_point deadline, int* error) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address.ai_protocol);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // Requests go out whole; with TLS they follow the handshake's last flight at
  // once instead of waiting for its acknowledgement.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    *error = errno;
    close(fd);
    return -1;
  }
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waiting{fd, POLLOUT, 0};
    const int ready =
        left.count() <= 0
            ? 0
            : poll(&waiting, 1, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      *error = ETIMEDOUT;
      close(fd);
      return -1;
    }
    socklen_t length = sizeof(*error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &length) != 0) *error = errno;
    if (*error == 0) return fd;
    close(fd);
    return -1;
  }
}

std::string ConnectFailureText(int error) {
  if (error == ECONNREFUSED) return "connection refused";
  if (error == ETIMEDOUT) return "time-out";
  return "cannot connect: " + ErrnoText(error);
}

bool HoldsQuit(std::string_view request) {
  return common::ToUpper(request).find("QUIT") != std::string::npos;
}

}  // namespace

std::unique_ptr<AgentConnection> AgentConnection::Open(const std::string& host, int port,
                                                       const common::TlsContext* tls,
                                                       const common::TlsResumption& resume,
                                                       Clock::time_point deadline,
                                                       std::string* failure) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    *failure = "cannot resolve " + host + ": " + gai_strerror(resolved);
    return nullptr;
  }
  int fd = -1;
  int error = 0;
  for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = ConnectTo(*address, deadline, &error);
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *failure = ConnectFailureText(error);
    return nullptr;
  }
  std::unique_ptr<AgentConnection> connection(new AgentConnection(fd, deadline));
  if (tls != nullptr) {
    connection->tls_.emplace(*tls, host, resume);
    if (!connection->Handshake(failure)) return nullptr;
  }
  return connection;
}

AgentConnection::AgentConnection(int socket_fd, Clock::time_point deadline)
    : socket_(socket_fd), deadline_(deadline) {}

AgentConnection::~AgentConnection() {
  if (tls_) {
    // The agent learns the end of the session in order; it may no longer listen.
    tls_->Close();
    std::string ignored;
    SendRaw(tls_->TakeCiphertext(), &ignored);
  }
  close(socket_);
}

bool AgentConnection::WaitFor(short events, std::string* failure) {
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
    if (left.count() <= 0) break;
    pollfd waiting{socket_, events, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) {
      *failure = "poll: " + ErrnoText(errno);
      return false;
    }
  }
  *failure = "time-out";
  return false;
}

bool AgentConnection::SendRaw(std::string_view bytes, std::string* failure) {
  while (!bytes.empty()) {
    const ssize_t sent = send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(POLLOUT, failure)) return false;
      continue;
    }
    *failure = "connection lost: " + ErrnoText(errno);
    return false;
  }
  return true;
}

bool AgentConnection::Flush(std::string* failure) {
  return SendRaw(tls_->TakeCiphertext(), failure);
}

bool AgentConnection::Handshake(std::string* failure) {
  while (tls_->state() == common::TlsSession::State::kHandshake) {
    if (!Flush(failure)) return false;
    std::string ignored;
    if (Receive(ignored, failure) == ReadResult::kFailed) return false;
  }
  if (!Flush(failure)) return false;
  if (tls_->state() == common::TlsSession::State::kFailed) {
    *failure = TlsFailureText();
    return false;
  }
  return true;
}

std::string AgentConnection::TlsFailureText() const {
  switch (tls_->failure()) {
    case TlsFailure::kExpired:
      return "certificate not trusted (certificate expired)";
    case TlsFailure::kNameMismatch:
      return "certificate not trusted (it does not name the host)";
    case TlsFailure::kPeerAlert:
      return "refused by the agent (" + tls_->failure_reason() + ")";
    default:
      return tls_->failure_reason();
  }
}

bool AgentConnection::Send(std::string_view bytes, std::string* failure) {
  if (!tls_) return SendRaw(bytes, failure);
  tls_->SendPlaintext(bytes);
  return Flush(failure);
}

AgentConnection::ReadResult AgentConnection::Receive(std::string& into, std::string* failure) {
  char buffer[kReadChunk];
  // Whatever is read next is an answer to what was sent last: waiting first
  // saves the read that would find nothing yet.
  if (!WaitFor(POLLIN, failure)) return ReadResult::kFailed;
  while (true) {
    const ssize_t received = recv(socket_, buffer, sizeof(buffer), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(POLLIN, failure)) return ReadResult::kFailed;
      continue;
    }
    // A reset after the agent's last bytes ends the connection as a close does.
    if (received < 0 && errno != ECONNRESET) {
      *failure = "connection lost: " + ErrnoText(errno);
      return ReadResult::kFailed;
    }
    const std::string_view bytes(buffer, received > 0 ? static_cast<size_t>(received) : 0);
    if (!tls_) {
      into.append(bytes);
      return bytes.empty() ? ReadResult::kEnd : ReadResult::kData;
    }
    if (bytes.empty()) {
      tls_->FeedEnd();
    } else {
      tls_->FeedCiphertext(bytes);
    }
    // Key updates and alerts the session answers go out at once.
    return Flush(failure) ? ReadResult::kData : ReadResult::kFailed;
  }
}

AgentConnection::ReadResult AgentConnection::Read(std::string& into, std::string* failure) {
  if (!tls_) return Receive(into, failure);
  while (true) {
    const std::string plaintext = tls_->TakePlaintext();
    if (!plaintext.empty()) {
      into += plaintext;
      return ReadResult::kData;
    }
    if (tls_->state() == common::TlsSession::State::kFailed) {
      *failure = TlsFailureText();
      return ReadResult::kFailed;
    }
    if (tls_->state() == common::TlsSession::State::kClosed) return ReadResult::kEnd;
    if (Receive(into, failure) == ReadResult::kFailed) return ReadResult::kFailed;
  }
}

common::TlsResumption AgentConnection::SavedSession() const {
  return tls_ ? tls_->SavedSession() : common::TlsResumption();
}

bool AgentConnection::Resumed() const {
  return tls_ && tls_->Resumed();
}

std::optional<std::string> ExchangeRequest(AgentConnection& connection, std::string request,
                                           std::string* failure) {
  if (!request.ends_with('\n')) request += '\n';
  const bool ends_by_itself = HoldsQuit(request);
  if (!connection.Send(request, failure)) return std::nullopt;
  std::string received;
  bool quit_sent = ends_by_itself;
  while (true) {
    const AgentConnection::ReadResult result = connection.Read(received, failure);
    if (result == AgentConnection::ReadResult::kFailed) return std::nullopt;
    if (result == AgentConnection::ReadResult::kEnd) break;
    // The agent holds no more than 32 MiB of replies for a client: a peer that
    // sends more is not the agent, and is not followed further.
    if (received.size() > kMaxReplyBytes) {
      *failure = "reply larger than " + std::to_string(kMaxReplyBytes >> 20) + " MiB";
      return std::nullopt;
    }
    if (!quit_sent && !received.empty()) {
      if (!connection.Send("QUIT\n", failure)) return std::nullopt;
      quit_sent = true;
    }
  }
  if (received.empty() || received.front() != '\0') {
    *failure = received.empty() ? "connection closed before the reply"
                                : "not the agent's protocol (a reply starts with a zero byte)";
    return std::nullopt;
  }
  if (ends_by_itself) return received.substr(1);
  // QUIT's own reply, a lone zero byte, ends what arrived.
  if (received.size() < 2 || received.back() != '\0') {
    *failure = "connection closed before the end of the reply";
    return std::nullopt;
  }
  return received.substr(1, received.size() - 2);
}

}  // namespace tools
