#pragma once
// A client of the agent's command protocol for tests against the running
// service: one request on a fresh connection, its reply read in full.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "tests/support/TcpClient.h"  // SendAll, for the callers of these

namespace testsupport {

// Sends request (its lines ended by line feeds) to the agent on 127.0.0.1:port
// and returns the reply text without the zero byte that starts it. The reply
// has no length, so once its first byte is in, the client sends QUIT as a
// request of its own and reads until the agent closes: what lies between the
// first zero byte and QUIT's (empty) reply is the reply. Nothing when the agent
// cannot be reached or does not close before the deadline. Connecting is
// retried until the deadline, so the call may follow the start of the service.
std::optional<std::string> AgentRequest(
    int port, std::string_view request,
    std::chrono::milliseconds deadline = std::chrono::seconds(30));


}  // namespace testsupport
