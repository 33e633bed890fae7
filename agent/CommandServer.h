#pragma once
// The agent's TCP listener, its connection table and the wire framing: every
// reply is one zero byte followed by the reply text.

#include <cstdint>
#include <vector>

namespace agent {

struct CommandReply;

inline constexpr int kNoSocket = -1;

// Opens the listening socket on ListenAddress:port (port 0: any free port, see
// ListenerPort). Returns the socket, or kNoSocket after logging the cause.
int OpenListener(int32_t port, int16_t backlog);

// The port a listening socket is bound to, or -1.
int32_t ListenerPort(int listen_socket);

// One polling cycle: accepts at most one connection, closes every connection
// when more than ten are held, then receives once from each connection and
// answers the request of each that holds a line feed.
void ServeClients(int listen_socket);

// Sends one zero byte and the reply's text on the connection in the slot
// (1-based), every byte, waiting up to a few seconds for a client that reads
// slowly; a reply that cannot be sent closes the connection. Closes it after the
// reply when CloseConnection is set. A closed connection frees its slot at the
// end of the cycle.
void SendReply(const CommandReply& reply, int slot);

// Descriptors whose readability should end the main loop's wait early: the
// listening socket and the live client connections.
std::vector<int> ServerWaitDescriptors(int listen_socket);

// Number of client connections held (the live slots).
int ConnectionCount();

// Closes every client connection and empties the table.
void CloseClientConnections();

}  // namespace agent
