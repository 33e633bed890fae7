#pragma once
// One connection to an agent's command port, in clear text or in TLS, on a
// non-blocking socket whose every wait ends at a deadline; and the exchange of
// one request for its reply over it.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/TlsContext.h"
#include "common/TlsSession.h"

namespace tools {

using Clock = std::chrono::steady_clock;

class AgentConnection {
 public:
  // Connects to host (a name or an address; each address it resolves to is
  // tried in turn) and port, and with a TLS context completes the handshake,
  // offering resume when given. Nothing when it fails; *failure then holds a
  // one-line reason ("connection refused", "time-out", "certificate not
  // trusted (...)", ...).
  static std::unique_ptr<AgentConnection> Open(const std::string& host, int port,
                                               const common::TlsContext* tls,
                                               const common::TlsResumption& resume,
                                               Clock::time_point deadline, std::string* failure);
  ~AgentConnection();
  AgentConnection(const AgentConnection&) = delete;
  AgentConnection& operator=(const AgentConnection&) = delete;

  // Sends all of the bytes. False on failure, with *failure set.
  bool Send(std::string_view bytes, std::string* failure);

  enum class ReadResult { kData, kEnd, kFailed };
  // Appends what arrives next to into: kData when something came, kEnd when
  // the agent closed the connection, kFailed with *failure set.
  ReadResult Read(std::string& into, std::string* failure);

  // The TLS session to offer on the next connection to the same agent; empty
  // in clear text or when the agent gave none.
  common::TlsResumption SavedSession() const;
  // Whether the TLS handshake resumed the offered session.
  bool Resumed() const;

 private:
  AgentConnection(int socket_fd, Clock::time_point deadline);

  // Waits until the socket is ready for events; false at the deadline.
  bool WaitFor(short events, std::string* failure);
  bool SendRaw(std::string_view bytes, std::string* failure);
  // Sends what the TLS session has to send.
  bool Flush(std::string* failure);
  bool Handshake(std::string* failure);
  // One read from the socket: in clear text its bytes are appended to into;
  // in TLS they go to the session (into is left alone).
  ReadResult Receive(std::string& into, std::string* failure);
  std::string TlsFailureText() const;

  int socket_;
  Clock::time_point deadline_;
  std::optional<common::TlsSession> tls_;
};

// Sends one request (a line feed is added when it has none) and returns the
// reply without its zero byte. Replies carry no length, so once the reply has
// begun, QUIT follows as a request of its own and the reply is what lies
// between the first zero byte and QUIT's empty reply when the agent closes;
// a request that holds QUIT itself is read to the close. Nothing when the
// reply did not come whole, or passed kMaxReplyBytes; *failure says why.
inline constexpr size_t kMaxReplyBytes = 64 * 1024 * 1024;
std::optional<std::string> ExchangeRequest(AgentConnection& connection, std::string request,
                                           std::string* failure);

}  // namespace tools
