#include "agent/CommandServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <string>

#include "agent/CommandDispatcher.h"
#include "agent/TaskFile.h"
#include "common/AgentConfig.h"
#include "common/ScaledSleep.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

using Clock = std::chrono::steady_clock;

// More held connections than this and the next cycle closes them all.
constexpr size_t kMaxHeldConnections = 10;
// Text held for a connection while no line feed has come.
constexpr size_t kMaxPendingBytes = 64 * 1024;
constexpr size_t kReceiveChunk = 64 * 1024;
// How long a reply may wait for a client that reads none of it.
constexpr auto kSendStallTimeout = std::chrono::seconds(5);
// Pauses, in ScaledSleep units: per connection, and at the end of a cycle.
constexpr int32_t kSlotPauseUnits = 18;
constexpr int32_t kCyclePauseUnits = 28;
constexpr std::string_view kServeFailureLabel = " Get Socket";

// One slot of the connection table.
struct Connection {
  int Socket = -1;
  bool Used = false;
  std::string Pending;      // received, not yet handed to the processor
  std::string PeerAddress;  // dotted IPv4 address of the client
};

// The live part of the table: slot n is element n - 1. Closed connections are
// released at the end of the cycle that closed them.
std::vector<Connection>& Connections() {
  static std::vector<Connection> table;
  return table;
}

bool LogEnabled(int16_t level) {
  return level <= common::TheAgentConfig().LogLevel;
}

void LogServeFailure(std::string_view description) {
  std::string line = common::GeneralDateTextNow();
  line += description;
  line += kServeFailureLabel;
  common::WriteLog(line, 1);
}

void CloseConnection(Connection& connection) {
  if (connection.Socket >= 0) close(connection.Socket);
  connection.Socket = -1;
  connection.Used = false;
  connection.Pending.clear();
  connection.Pending.shrink_to_fit();
}

void ReleaseClosedSlots() {
  std::erase_if(Connections(), [](const Connection& c) { return !c.Used; });
}

std::string PeerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

// Logs the failed step of OpenListener in its fixed form and gives up the socket.
int ListenerFailure(int socket_fd, std::string_view step, int err) {
  if (socket_fd >= 0) close(socket_fd);
  common::WriteLog(
      "Error al llamar a " + std::string(step) + ": " + std::to_string(err) + " - Error", 1);
  return kNoSocket;
}

// Sends the zero byte and the text, waiting for the socket to drain while the
// client keeps reading; kSendStallTimeout without progress gives up. Returns
// false when not everything could be sent.
bool SendFramed(int socket_fd, std::string_view text) {
  static const char kZero = '\0';
  auto deadline = Clock::now() + kSendStallTimeout;
  size_t sent = 0;  // of the 1 + text.size() bytes
  const size_t total = 1 + text.size();
  while (sent < total) {
    iovec parts[2];
    int count = 0;
    if (sent == 0) parts[count++] = {const_cast<char*>(&kZero), 1};
    const size_t text_sent = sent == 0 ? 0 : sent - 1;
    if (text_sent < text.size()) {
      parts[count++] = {const_cast<char*>(text.data() + text_sent), text.size() - text_sent};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = sendmsg(socket_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      deadline = Clock::now() + kSendStallTimeout;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{socket_fd, POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
  }
  return true;
}

// One slot's turn in a cycle: at most one receive, and the request processed
// once a line feed is there.
void ServeSlot(int slot) {
  Connection& connection = Connections()[static_cast<size_t>(slot - 1)];
  if (!connection.Used) return;

  static char buffer[kReceiveChunk];
  const ssize_t received = recv(connection.Socket, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (received <= 0) {
    // The client has gone (or the connection broke): its slot is free at once.
    CloseConnection(connection);
    return;
  }

  const size_t searched = connection.Pending.size();
  connection.Pending.append(buffer, static_cast<size_t>(received));
  if (LogEnabled(2)) {
    const std::string count = std::to_string(received);
    common::WriteLog(" IPADDR-" + count + "-" + count + "-" + HideTaskPasswords(connection.Pending) + "." +
                         std::to_string(received - 1),
                     2);
  }
  if (connection.Pending.find('\n', searched) == std::string::npos) {
    if (connection.Pending.size() > kMaxPendingBytes) {
      LogServeFailure("Request of more than " + std::to_string(kMaxPendingBytes) +
                      " bytes without a line feed from " + connection.PeerAddress +
                      "; connection closed");
      CloseConnection(connection);
    }
    return;
  }

  // The whole text goes to the processor, which answers its complete lines; a
  // piece after the last line feed goes with it.
  const std::string request = std::move(connection.Pending);
  connection.Pending.clear();
  const CommandReply reply = ProcessCommand(request, CommandContext{slot, connection.PeerAddress});
  SendReply(reply, slot);
  if (LogEnabled(2)) common::WriteLog(HideTaskPasswords(request) + " Process Cmd", 2);
}

}  // namespace

int OpenListener(int32_t port, int16_t backlog) {
  const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_fd < 0) return ListenerFailure(-1, "socket", errno);

  // A restarted agent must get its port back while connections of the former
  // process linger in TIME_WAIT; a live listener on the port still refuses it.
  const int on = 1;
  setsockopt(socket_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));

  const std::string& address = common::TheAgentConfig().ListenAddress;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address.empty() ? htonl(INADDR_ANY) : inet_addr(address.c_str());
  if (port < 0 || port > 65535) return ListenerFailure(socket_fd, "bind", EINVAL);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(socket_fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    return ListenerFailure(socket_fd, "bind", errno);
  }
  if (listen(socket_fd, backlog) != 0) return ListenerFailure(socket_fd, "listen", errno);
  return socket_fd;
}

int32_t ListenerPort(int listen_socket) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (getsockname(listen_socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  return ntohs(local.sin_port);
}

void ServeClients(int listen_socket) {
  std::vector<Connection>& table = Connections();
  try {
    int non_blocking = 1;
    ioctl(listen_socket, FIONBIO, &non_blocking);
    sockaddr_in peer{};
    socklen_t peer_length = sizeof(peer);
    const int accepted = accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);

    if (table.size() > kMaxHeldConnections) CloseClientConnections();
    if (accepted >= 0) table.push_back(Connection{accepted, true, {}, PeerText(peer)});

    for (size_t slot = 1; slot <= table.size(); ++slot) {
      common::ScaledSleep(kSlotPauseUnits);
      ServeSlot(static_cast<int>(slot));
    }
    ReleaseClosedSlots();
    common::ScaledSleep(kCyclePauseUnits);
  } catch (const std::exception& error) {
    ReleaseClosedSlots();
    LogServeFailure(error.what());
  }
}

void SendReply(const CommandReply& reply, int slot) {
  std::vector<Connection>& table = Connections();
  if (slot < 1 || static_cast<size_t>(slot) > table.size()) return;
  Connection& connection = table[static_cast<size_t>(slot - 1)];
  if (!connection.Used) return;
  if (!SendFramed(connection.Socket, reply.Text)) {
    LogServeFailure("Reply of " + std::to_string(reply.Text.size() + 1) + " bytes to " +
                    connection.PeerAddress + " not sent; connection closed");
    CloseConnection(connection);
    return;
  }
  if (reply.CloseConnection) CloseConnection(connection);
}

std::vector<int> ServerWaitDescriptors(int listen_socket) {
  std::vector<int> fds;
  if (listen_socket >= 0) fds.push_back(listen_socket);
  for (const Connection& connection : Connections()) {
    if (connection.Used) fds.push_back(connection.Socket);
  }
  return fds;
}

int ConnectionCount() {
  return static_cast<int>(Connections().size());
}

void CloseClientConnections() {
  for (Connection& connection : Connections()) CloseConnection(connection);
  Connections().clear();
}

}  // namespace agent
