#pragma once
// The agent's TCP listener, its connection table and the wire framing: every
// reply is one zero byte followed by the reply text.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Wait.h"

namespace common {
class TlsContext;
}

namespace agent {

inline constexpr int kNoSocket = -1;

// Opens the listening socket on ListenAddress:port (port 0: any free port, see
// ListenerPort), with the longest listen queue the system allows, so that a
// burst of new clients is never turned away. ListenAddress is a dotted
// address, a host name whose first IPv4 address is taken, or empty for any
// local address. Returns the socket, or kNoSocket after logging the cause (a
// name that resolves to no address fails as the bind does).
int OpenListener(int32_t port);

// The step of opening a listening socket that failed ("socket", "bind",
// "listen") and its errno value.
struct ListenerError {
  const char* Step = "";
  int Error = 0;
};

// Opens a listening socket as OpenListener does, on address (the forms of
// LISTEN) and port, without logging. Returns the socket, or kNoSocket with the
// failed step in error.
int OpenListeningSocket(const std::string& address, int32_t port, ListenerError& error);

// Keeps the TLS listener open beside the command port: opens a listening
// socket on ListenAddress:port (as OpenListener does) when none is open yet, and
// watches it from then on. Its connections speak TLS with the context (which
// must outlive the agent's loop) and join the command port's table: at most
// ten connections are held in all, by the same rule. A port that cannot be
// opened is logged at level 1 and tried again at the next call. Returns the
// listening socket, or kNoSocket.
int ListenForTls(int32_t port, const common::TlsContext& context);

// The port a listening socket is bound to, or -1.
int32_t ListenerPort(int listen_socket);

// One polling cycle: takes in the connections that wait (at most ten are held;
// see the README), then visits each held connection once, receiving what it
// sent and answering a complete request, with the cycle's pauses between.
void ServeClients(int listen_socket);

// Waits for the length of the pause and serves the clients meanwhile: new
// connections are taken in, requests answered and replies written as soon as
// their sockets are ready. Inside the answer to a request (a pause a handler
// takes) it only waits. Ends early when stop_fd (an event's descriptor, or -1
// for none) is readable and returns true then; false when the whole pause has
// passed.
bool PauseServing(int listen_socket, int stop_fd, std::chrono::milliseconds pause);

// The wait the agent installs for the platform layer's blocking steps
// (platform::SetWaitHook): serves the clients until fd is readable or the
// deadline has come; a wait that is already due (a yield of long work) serves
// what is ready without waiting. No request that runs a program starts inside
// it: such a request waits for the next pause.
void ServeWhileWaiting(int fd, const platform::WaitDeadline& deadline);

// Number of client connections held.
int ConnectionCount();

// Closes every client connection (and those waiting to be taken in) and
// empties the table.
void CloseClientConnections();

// The failure line of the command server: description, " Get Socket", date
// and time, at level 1.
void LogServeFailure(std::string_view description);

// Whether a request is being answered now (a pause inside it only waits).
bool AnsweringRequest();

}  // namespace agent
