#pragma once
// The agent's TCP listener, its connection table and the wire framing: every
// reply is one zero byte followed by the reply text.

#include <cstdint>
#include <vector>

namespace agent {

struct CommandReply;

inline constexpr int kNoSocket = -1;

// Opens the listening socket on ListenAddress:port. Returns the socket, or
// kNoSocket after logging the cause.
int OpenListener(int32_t port, int16_t backlog);

// One polling cycle over the listening socket and the client connections.
void ServeClients(int listen_socket);

// Sends the reply on the connection in the slot (1-based) and closes it when
// CloseConnection is set.
void SendReply(const CommandReply& reply, int slot);

// Descriptors whose readability should end the main loop's wait early: the
// listening socket and the live client connections.
std::vector<int> ServerWaitDescriptors(int listen_socket);

}  // namespace agent
