#include "agent/CommandServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/ClientConnection.h"
#include "agent/EventLoop.h"
#include "agent/PipedShell.h"
#include "agent/TlsSetup.h"
#include "common/AgentConfig.h"
#include "common/ScaledSleep.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

// Connections held at most. One more is taken in once the held connection that
// has gone longest without a request has been idle for a second, or once the
// newcomer has waited half a second, whichever comes first; that connection
// closes.
constexpr size_t kMaxHeldConnections = 10;
constexpr auto kIdleBeforeClosing = std::chrono::seconds(1);
constexpr auto kLongestWaitToBeTaken = std::chrono::milliseconds(500);
// Connections accepted and waiting to be taken in; more stay in the listen
// queue meanwhile.
constexpr size_t kMaxWaitingConnections = 256;
// Pauses, in ScaledSleep units: per connection, and at the end of a cycle.
constexpr int32_t kSlotPauseUnits = 18;
constexpr int32_t kCyclePauseUnits = 28;

bool LogEnabled(int16_t level) {
  return level <= common::TheAgentConfig().LogLevel;
}

std::string PeerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

// A connection accepted from the listen queue, not yet taken into the table.
struct Newcomer {
  int Socket;
  std::string PeerAddress;
  Clock::time_point Arrived;
  const common::TlsContext* Tls;  // the TLS listener's context; nullptr in clear text
};

// Whether a newcomer's client has already hung up (it would take a slot for
// nothing).
bool HasHungUp(int socket_fd) {
  char byte;
  const ssize_t n = recv(socket_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

class CommandListener;

// A listening socket the loop watches: the command port, or the TLS port
// beside it. What it accepts waits as a newcomer of the one connection table.
class Acceptor final : public Watcher {
 public:
  // tls: the context of the TLS port's connections; nullptr for clear text.
  Acceptor(CommandListener& listener, const common::TlsContext* tls)
      : listener_(listener), tls_(tls) {}

  // Watches listen_socket (kNoSocket: none) from now on, and resumes the
  // accepting a failed accept stopped.
  void Watch(int listen_socket) {
    accepting_ = true;
    if (listen_socket == socket_) return;
    socket_ = listen_socket;
    if (socket_ >= 0) {
      TheEventLoop().Add(*this);
    } else {
      TheEventLoop().Remove(*this);
    }
  }

  int Socket() const { return socket_; }
  void SetContext(const common::TlsContext* tls) { tls_ = tls; }

  int Descriptor() const override { return socket_; }
  short WantedEvents() const override;
  void OnReady(short) override;

  // Accepts every connection waiting in the listen queue (up to the bound).
  void AcceptWaiting();

 private:
  CommandListener& listener_;
  const common::TlsContext* tls_;
  int socket_ = kNoSocket;
  bool accepting_ = true;
};

// The table of held connections, fed by the command port and the TLS port:
// takes newcomers in (closing the connection idle longest when ten are held),
// and answers requests that were held for their turn. A watcher without a
// descriptor of its own: it has only deadlines.
class CommandListener final : public Watcher {
 public:
  CommandListener() { TheEventLoop().Add(*this); }

  // Watches listen_socket (kNoSocket: none) as the command port from now on.
  void Listen(int listen_socket) {
    clear_text_.Watch(listen_socket);
    tls_.Watch(tls_.Socket());
  }
  Acceptor& TlsPort() { return tls_; }

  int Descriptor() const override { return kNoSocket; }
  short WantedEvents() const override { return 0; }
  void OnReady(short) override {}

  Clock::time_point Deadline() const override {
    if (std::any_of(table_.begin(), table_.end(), [](const auto& c) {
          return c->Closed() ? !c->Busy() : c->HeldRequestMayRun();
        })) {
      return kDueNow;
    }
    if (newcomers_.empty()) return Clock::time_point::max();
    if (HeldCount() < kMaxHeldConnections) return kDueNow;
    const Clock::time_point longest_wait = newcomers_.front().Arrived + kLongestWaitToBeTaken;
    if (const ClientConnection* idlest = Idlest()) {
      return std::min(idlest->LastActive() + kIdleBeforeClosing, longest_wait);
    }
    return LastInLine() != nullptr ? longest_wait : Clock::time_point::max();
  }

  void OnDeadline() override {
    ReleaseClosed();
    TakeInNewcomers();
    AnswerHeldRequests();
  }

  bool HasRoomForNewcomers() const { return newcomers_.size() < kMaxWaitingConnections; }
  void AddNewcomer(Newcomer newcomer) { newcomers_.push_back(std::move(newcomer)); }

  // Accepts what waits in both listen queues.
  void AcceptWaiting() {
    clear_text_.AcceptWaiting();
    tls_.AcceptWaiting();
  }

  // Takes newcomers into the table while there is room, closing the connection
  // idle longest when ten are held and one of them has waited long enough.
  void TakeInNewcomers() {
    ReleaseClosed();
    while (!newcomers_.empty()) {
      Newcomer& newcomer = newcomers_.front();
      if (HasHungUp(newcomer.Socket)) {
        if (newcomer.Tls != nullptr) {
          LogTlsRefused(newcomer.PeerAddress, "connection closed during the handshake");
        }
        close(newcomer.Socket);
        newcomers_.pop_front();
        continue;
      }
      if (HeldCount() >= kMaxHeldConnections) {
        const Clock::time_point now = Clock::now();
        const bool waited_long = now >= newcomer.Arrived + kLongestWaitToBeTaken;
        if (ClientConnection* idlest = Idlest()) {
          if (now < idlest->LastActive() + kIdleBeforeClosing && !waited_long) return;
          CloseIdlest(*idlest, now);
        } else if (ClientConnection* held = LastInLine(); held != nullptr && waited_long) {
          // Every held connection holds a request, all but one waiting for the
          // running program: the newcomer is taken all the same.
          LogServeFailure("Request from " + held->PeerAddress() +
                          " not run, connection closed: at most " +
                          std::to_string(kMaxHeldConnections) +
                          " connections are held, and every one waits for a program's turn;");
          held->Close();
        } else {
          return;
        }
      }
      table_.push_back(std::make_unique<ClientConnection>(
          newcomer.Socket, std::move(newcomer.PeerAddress), newcomer.Tls, newcomer.Arrived));
      newcomers_.pop_front();
      ClientConnection& taken = *table_.back();
      taken.SetSlot(static_cast<int>(table_.size()));
      // What it sent while it waited is answered at once.
      taken.ServeOnce();
    }
  }

  // Answers the requests held for their turn that may run now, in the order
  // they came.
  void AnswerHeldRequests() {
    while (true) {
      ClientConnection* first = nullptr;
      for (const auto& connection : table_) {
        if (connection->HeldRequestMayRun() &&
            (first == nullptr || connection->ReadySince() < first->ReadySince())) {
          first = connection.get();
        }
      }
      if (first == nullptr || !first->AnswerHeldRequest()) return;
    }
  }

  // The held connections, in the order they were taken in. Visiting them must go
  // by identity: pauses inside a cycle change the table.
  std::vector<const ClientConnection*> Held() const {
    std::vector<const ClientConnection*> held;
    for (const auto& connection : table_) {
      if (!connection->Closed()) held.push_back(connection.get());
    }
    return held;
  }

  ClientConnection* Find(const ClientConnection* wanted) {
    for (const auto& connection : table_) {
      if (connection.get() == wanted) return connection.get();
    }
    return nullptr;
  }

  size_t HeldCount() const {
    return static_cast<size_t>(std::count_if(table_.begin(), table_.end(),
                                             [](const auto& c) { return !c->Closed(); }));
  }

  // Frees the records of closed connections, except one whose request is being
  // answered further up the thread's stack.
  void ReleaseClosed() {
    std::erase_if(table_, [](const auto& c) { return c->Closed() && !c->Busy(); });
  }

  void CloseAll() {
    for (const auto& connection : table_) connection->Close();
    ReleaseClosed();
    for (const Newcomer& newcomer : newcomers_) close(newcomer.Socket);
    newcomers_.clear();
  }

 private:
  // The held connection that has gone longest without a request, among those
  // that hold no request of their own; nullptr when there is none.
  ClientConnection* Idlest() const {
    ClientConnection* idlest = nullptr;
    for (const auto& connection : table_) {
      if (connection->Closed() || connection->Waiting()) continue;
      if (idlest == nullptr || connection->LastActive() < idlest->LastActive()) {
        idlest = connection.get();
      }
    }
    return idlest;
  }

  // Among the connections whose request waits for its turn (none being
  // answered), the one whose request came last; nullptr when there is none.
  ClientConnection* LastInLine() const {
    ClientConnection* last = nullptr;
    for (const auto& connection : table_) {
      if (connection->Closed() || connection->Busy() || !connection->Waiting()) continue;
      if (last == nullptr || connection->ReadySince() > last->ReadySince()) last = connection.get();
    }
    return last;
  }

  void CloseIdlest(ClientConnection& idlest, Clock::time_point now) {
    if (LogEnabled(2)) {
      const auto idle =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - idlest.LastActive());
      common::WriteLog(" Closed the connection from " + idlest.PeerAddress() + ", idle for " +
                           std::to_string(idle.count()) + " ms: at most " +
                           std::to_string(kMaxHeldConnections) + " connections are held",
                       2);
    }
    idlest.Close();
  }

  Acceptor clear_text_{*this, nullptr};
  Acceptor tls_{*this, nullptr};
  std::vector<std::unique_ptr<ClientConnection>> table_;
  std::deque<Newcomer> newcomers_;
};

short Acceptor::WantedEvents() const {
  return socket_ >= 0 && accepting_ && listener_.HasRoomForNewcomers() ? POLLIN : 0;
}

void Acceptor::OnReady(short) {
  AcceptWaiting();
  listener_.TakeInNewcomers();
}

void Acceptor::AcceptWaiting() {
  while (socket_ >= 0 && listener_.HasRoomForNewcomers()) {
    sockaddr_in peer{};
    socklen_t peer_length = sizeof(peer);
    const int accepted = accept4(socket_, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
      listener_.AddNewcomer(Newcomer{accepted, PeerText(peer), Clock::now(), tls_});
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // Anything but an empty queue (no descriptor left, for one) stops the
    // watching of the listening socket until the next pause.
    if (errno != EAGAIN && errno != EWOULDBLOCK) accepting_ = false;
    return;
  }
}

CommandListener& TheListener() {
  // Never destroyed: its connections must not outlive the loop they are in.
  static CommandListener* listener = new CommandListener();
  return *listener;
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

// Gives up the socket and names the failed step.
int ListenFailure(int socket_fd, const char* step, int err, ListenerError& error) {
  if (socket_fd >= 0) close(socket_fd);
  error = ListenerError{step, err};
  return kNoSocket;
}

}  // namespace

int OpenListeningSocket(const std::string& address, int32_t port, ListenerError& error) {
  // Non-blocking from the start: the loop accepts whenever it is readable.
  const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_fd < 0) return ListenFailure(-1, "socket", errno, error);

  // A restarted agent must get its port back while connections of the former
  // process linger in TIME_WAIT; a live listener on the port still refuses it.
  const int on = 1;
  setsockopt(socket_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));

  const std::optional<in_addr_t> resolved = ListenAddressOf(address);
  if (!resolved) return ListenFailure(socket_fd, "bind", EADDRNOTAVAIL, error);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = *resolved;
  if (port < 0 || port > 65535) return ListenFailure(socket_fd, "bind", EINVAL, error);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(socket_fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    return ListenFailure(socket_fd, "bind", errno, error);
  }
  // The kernel cuts the queue length to the system's maximum (somaxconn): a
  // short queue drops connection attempts in a burst, and each dropped one is
  // answered a second late, by the client's retransmission.
  if (listen(socket_fd, INT_MAX) != 0) return ListenFailure(socket_fd, "listen", errno, error);
  return socket_fd;
}

int OpenListener(int32_t port) {
  ListenerError error;
  const int socket_fd = OpenListeningSocket(common::TheAgentConfig().ListenAddress, port, error);
  if (socket_fd < 0) {
    common::WriteLog("Error al llamar a " + std::string(error.Step) + ": " +
                         std::to_string(error.Error) + " - Error",
                     1);
  }
  return socket_fd;
}

int ListenForTls(int32_t port, const common::TlsContext& context) {
  Acceptor& tls_port = TheListener().TlsPort();
  tls_port.SetContext(&context);
  if (tls_port.Socket() != kNoSocket) return tls_port.Socket();
  ListenerError error;
  const int socket_fd = OpenListeningSocket(common::TheAgentConfig().ListenAddress, port, error);
  if (socket_fd == kNoSocket) {
    common::WriteLog(common::GeneralDateTextNow() + " TLS listener on port " +
                         std::to_string(port) + " not opened: " + std::string(error.Step) +
                         ": " + std::strerror(error.Error),
                     1);
  }
  tls_port.Watch(socket_fd);
  return socket_fd;
}

int32_t ListenerPort(int listen_socket) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (getsockname(listen_socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  return ntohs(local.sin_port);
}

void ServeClients(int listen_socket) {
  CommandListener& listener = TheListener();
  try {
    listener.Listen(listen_socket);
    listener.AcceptWaiting();
    listener.TakeInNewcomers();
    // The connections held now. Those the pauses take in meanwhile are served
    // by those pauses; visiting them as well would let a stream of new clients
    // hold the cycle for ever.
    for (const ClientConnection* held : listener.Held()) {
      common::ScaledSleep(kSlotPauseUnits);
      if (ClientConnection* connection = listener.Find(held)) connection->ServeOnce();
    }
    common::ScaledSleep(kCyclePauseUnits);
  } catch (const std::exception& error) {
    LogServeFailure(error.what());
  }
  listener.ReleaseClosed();
}

bool PauseServing(int listen_socket, int stop_fd, std::chrono::milliseconds pause) {
  const Clock::time_point deadline = Clock::now() + pause;
  if (AnsweringRequest() || listen_socket < 0) return WaitForStop(stop_fd, deadline);
  TheListener().Listen(listen_socket);
  // Once the stop event is readable the pause ends.
  const ReadableOnce stop(stop_fd);
  bool stopped = false;
  try {
    stopped = TheEventLoop().RunUntil(deadline, [&stop] { return stop.Ready(); });
  } catch (const std::exception& error) {
    LogServeFailure(error.what());
  }
  TheListener().ReleaseClosed();
  return stopped;
}

void ServeWhileWaiting(int fd, const platform::WaitDeadline& deadline) {
  const ProgramTurn programs_wait;
  try {
    if (fd < 0 && deadline && *deadline <= Clock::now()) {
      TheEventLoop().HandleReady();
    } else {
      WaitReadable(fd, deadline.value_or(Clock::time_point::max()));
    }
  } catch (const std::exception& error) {
    LogServeFailure(error.what());
  }
  TheListener().ReleaseClosed();
}

int ConnectionCount() {
  return static_cast<int>(TheListener().HeldCount());
}

void CloseClientConnections() {
  TheListener().CloseAll();
}

}  // namespace agent
