#include "agent/CommandServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <optional>
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

// Connections held at most; one more closes the one idle longest, once that
// one has been idle for a while: a client just accepted, or just answered,
// gets the time to send what it connected for, and a newcomer waits in the
// backlog meanwhile.
constexpr size_t kMaxHeldConnections = 10;
constexpr auto kIdleBeforeClosing = std::chrono::seconds(1);
// The longest request line taken, however it arrives: the bytes before its line
// feed.
constexpr size_t kMaxLineBytes = 1024 * 1024;
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
  std::string Pending;           // received, not yet handed to the processor
  std::string PeerAddress;       // dotted IPv4 address of the client
  Clock::time_point LastActive;  // accepted, last received or last answered
};

// The live part of the table: slot n is element n - 1. Closed connections are
// released at the end of the cycle or of the serving pause that closed them.
std::vector<Connection>& Connections() {
  static std::vector<Connection> table;
  return table;
}

// Serving state of the thread. While a serve step runs (an accept, a receive, a
// request and its reply), pauses taken inside it only wait: a serve never runs
// inside another. While a polling cycle runs, closed slots stay in the table
// until its end, so that its slot numbers hold.
struct ServingState {
  int steps = 0;
  int cycles = 0;
};

ServingState& Serving() {
  static ServingState state;
  return state;
}

class ServeStep {
 public:
  ServeStep() { ++Serving().steps; }
  ~ServeStep() { --Serving().steps; }
  ServeStep(const ServeStep&) = delete;
  ServeStep& operator=(const ServeStep&) = delete;
};

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
  if (Serving().cycles > 0) return;
  std::erase_if(Connections(), [](const Connection& c) { return !c.Used; });
}

size_t HeldCount() {
  return static_cast<size_t>(std::count_if(Connections().begin(), Connections().end(),
                                           [](const Connection& c) { return c.Used; }));
}

std::string PeerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

// The IPv4 address to listen on: any local address for an empty text, a
// dotted address as inet_aton reads it, else the first IPv4 address a host
// name resolves to. Nothing when the name resolves to none, and never the
// broadcast address, which would take no connection.
std::optional<in_addr_t> ListenAddressOf(const std::string& text) {
  if (text.empty()) return htonl(INADDR_ANY);
  in_addr dotted{};
  std::optional<in_addr_t> address;
  if (inet_aton(text.c_str(), &dotted) != 0) {
    address = dotted.s_addr;
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    }
    if (found != nullptr) freeaddrinfo(found);
  }
  if (address == htonl(INADDR_BROADCAST)) return std::nullopt;
  return address;
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

// One slot's turn: at most one receive, and the request processed once a line
// feed is there.
void ServeSlot(int slot) {
  Connection& connection = Connections()[static_cast<size_t>(slot - 1)];
  if (!connection.Used) return;
  const ServeStep step;

  static char buffer[kReceiveChunk];
  const ssize_t received = recv(connection.Socket, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (received <= 0) {
    // The client has gone (or the connection broke): its slot is free at once.
    CloseConnection(connection);
    return;
  }
  connection.LastActive = Clock::now();

  const size_t searched = connection.Pending.size();
  connection.Pending.append(buffer, static_cast<size_t>(received));
  if (LogEnabled(2)) {
    const std::string count = std::to_string(received);
    common::WriteLog(" IPADDR-" + count + "-" + count + "-" +
                         HideTaskPasswords(connection.Pending) + "." + std::to_string(received - 1),
                     2);
  }
  // No line feed came before it, so the first one of this piece ends the line.
  const size_t line_feed = connection.Pending.find('\n', searched);
  const size_t line_length = line_feed == std::string::npos ? connection.Pending.size() : line_feed;
  if (line_length > kMaxLineBytes) {
    LogServeFailure("Request of more than " + std::to_string(kMaxLineBytes) +
                    " bytes without a line feed from " + connection.PeerAddress +
                    "; connection closed");
    CloseConnection(connection);
    return;
  }
  if (line_feed == std::string::npos) return;

  // The whole text goes to the processor, which answers its complete lines; a
  // piece after the last line feed goes with it.
  const std::string request = std::move(connection.Pending);
  connection.Pending.clear();
  const CommandReply reply = ProcessCommand(request, CommandContext{slot, connection.PeerAddress});
  SendReply(reply, slot);
  if (LogEnabled(2)) common::WriteLog(HideTaskPasswords(request) + " Process Cmd", 2);
}

// The held connection that has been idle longest; nullptr when none is held.
Connection* IdlestConnection() {
  Connection* idlest = nullptr;
  for (Connection& connection : Connections()) {
    if (connection.Used && (idlest == nullptr || connection.LastActive < idlest->LastActive)) {
      idlest = &connection;
    }
  }
  return idlest;
}

// Closes the held connection that has been idle longest, to make room for one
// more.
void CloseIdlestConnection() {
  Connection* idlest = IdlestConnection();
  if (idlest == nullptr) return;
  if (LogEnabled(2)) {
    const auto idle =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - idlest->LastActive);
    common::WriteLog(" Closed the connection from " + idlest->PeerAddress + ", idle for " +
                         std::to_string(idle.count()) + " ms: at most " +
                         std::to_string(kMaxHeldConnections) + " connections are held",
                     2);
  }
  CloseConnection(*idlest);
}

// From when a new connection can be taken: at once while fewer than ten are
// held, else once the connection idle longest has been idle long enough.
Clock::time_point RoomForOneMore() {
  const Connection* idlest = IdlestConnection();
  if (HeldCount() < kMaxHeldConnections || idlest == nullptr) return Clock::time_point::min();
  return idlest->LastActive + kIdleBeforeClosing;
}

// Takes at most one waiting connection into the table. Returns false when
// accepting failed for another reason than none waiting (no descriptor left,
// for one), so that a pause stops watching the listening socket.
bool AcceptOne(int listen_socket) {
  const ServeStep step;
  if (Clock::now() < RoomForOneMore()) return true;
  sockaddr_in peer{};
  socklen_t peer_length = sizeof(peer);
  const int accepted = accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED;
  }
  if (HeldCount() >= kMaxHeldConnections) CloseIdlestConnection();
  Connections().push_back(Connection{accepted, true, {}, PeerText(peer), Clock::now()});
  return true;
}

// Waits on the stop event alone, up to the deadline. Returns true when it is set.
bool WaitForStop(int stop_fd, Clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd stop{stop_fd, POLLIN, 0};
    const int ready = poll(&stop, stop_fd < 0 ? 0 : 1,
                           static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
    if (ready > 0) return true;
  }
}

}  // namespace

int OpenListener(int32_t port, int16_t backlog) {
  // Non-blocking from the start: a serving pause may accept before the first
  // polling cycle has set the mode.
  const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_fd < 0) return ListenerFailure(-1, "socket", errno);

  // A restarted agent must get its port back while connections of the former
  // process linger in TIME_WAIT; a live listener on the port still refuses it.
  const int on = 1;
  setsockopt(socket_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));

  const std::optional<in_addr_t> address = ListenAddressOf(common::TheAgentConfig().ListenAddress);
  if (!address) return ListenerFailure(socket_fd, "bind", EADDRNOTAVAIL);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = *address;
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
  ++Serving().cycles;
  try {
    int non_blocking = 1;
    ioctl(listen_socket, FIONBIO, &non_blocking);
    AcceptOne(listen_socket);
    // The slots held now. Connections that the pauses accept meanwhile are
    // served by those pauses; visiting them as well would let a stream of new
    // clients hold the cycle for ever.
    const size_t held_slots = table.size();
    for (size_t slot = 1; slot <= held_slots; ++slot) {
      common::ScaledSleep(kSlotPauseUnits);
      ServeSlot(static_cast<int>(slot));
    }
    common::ScaledSleep(kCyclePauseUnits);
  } catch (const std::exception& error) {
    LogServeFailure(error.what());
  }
  --Serving().cycles;
  ReleaseClosedSlots();
}

bool PauseServing(int listen_socket, int stop_fd, std::chrono::milliseconds pause) {
  const Clock::time_point deadline = Clock::now() + pause;
  if (Serving().steps > 0 || listen_socket < 0) return WaitForStop(stop_fd, deadline);

  // Kept between pauses: no allocation per pause. A pause inside a serve step
  // never gets here, so they are never in use twice.
  static std::vector<pollfd> polled;
  static std::vector<int> slots;  // the slot of each polled client socket
  bool accepting = true;
  while (true) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    // With no room for one more, the listening socket is left alone until the
    // idlest connection may be closed.
    const Clock::time_point room = RoomForOneMore();
    const Clock::time_point until = room > now ? std::min(room, deadline) : deadline;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    const int listener = accepting && room <= now ? listen_socket : -1;
    polled.assign({pollfd{stop_fd, POLLIN, 0}, pollfd{listener, POLLIN, 0}});
    slots.clear();
    const std::vector<Connection>& table = Connections();
    for (size_t k = 0; k < table.size(); ++k) {
      if (!table[k].Used) continue;
      polled.push_back(pollfd{table[k].Socket, POLLIN, 0});
      slots.push_back(static_cast<int>(k + 1));
    }
    if (poll(polled.data(), polled.size(),
             static_cast<int>(std::min<int64_t>(left.count(), INT_MAX))) <= 0) {
      continue;
    }
    if (polled[0].revents != 0) return true;
    // What the polling cycle would do with the same sockets: the clients'
    // requests in slot order, then one new connection.
    try {
      for (size_t k = 0; k < slots.size(); ++k) {
        if (polled[k + 2].revents != 0) ServeSlot(slots[k]);
      }
      if (polled[1].revents != 0 && !AcceptOne(listen_socket)) accepting = false;
    } catch (const std::exception& error) {
      LogServeFailure(error.what());
    }
    ReleaseClosedSlots();
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
  connection.LastActive = Clock::now();
  if (reply.CloseConnection) CloseConnection(connection);
}

int ConnectionCount() {
  return static_cast<int>(HeldCount());
}

void CloseClientConnections() {
  for (Connection& connection : Connections()) CloseConnection(connection);
  Connections().clear();
}

}  // namespace agent
