#pragma once
// The agent's TCP listener, its connection table and the wire framing: every
// reply is one zero byte followed by the reply text.

#include <chrono>
#include <cstdint>

namespace agent {

struct CommandReply;

inline constexpr int kNoSocket = -1;

// Opens the listening socket on ListenAddress:port (port 0: any free port, see
// ListenerPort). ListenAddress is a dotted address, a host name whose first
// IPv4 address is taken, or empty for any local address. Returns the socket, or
// kNoSocket after logging the cause (a name that resolves to no address fails
// as the bind does).
int OpenListener(int32_t port, int16_t backlog);

// The port a listening socket is bound to, or -1.
int32_t ListenerPort(int listen_socket);

// One polling cycle: accepts at most one connection (closing the connection
// idle longest when ten are held already), then receives once from each
// connection and answers the request of each that holds a line feed. A request
// line longer than 1 MiB closes its connection.
void ServeClients(int listen_socket);

// Waits for the length of the pause and serves the clients meanwhile: whenever
// a client socket or the listening socket becomes readable, it does at once
// what the polling cycle would do with it (the request answered, the
// connection accepted), then waits on. Inside a serve (a pause taken while a
// request is answered) it only waits. Ends early when stop_fd (an event's
// descriptor, or -1 for none) is readable and returns true then; false when the
// whole pause has passed.
bool PauseServing(int listen_socket, int stop_fd, std::chrono::milliseconds pause);

// Sends one zero byte and the reply's text on the connection in the slot
// (1-based), every byte, waiting up to a few seconds for a client that reads
// slowly; a reply that cannot be sent closes the connection. Closes it after the
// reply when CloseConnection is set. A closed connection frees its slot at the
// end of the cycle.
void SendReply(const CommandReply& reply, int slot);

// Number of client connections held (the live slots).
int ConnectionCount();

// Closes every client connection and empties the table.
void CloseClientConnections();

}  // namespace agent
