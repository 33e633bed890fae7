#include "tests/support/AgentClient.h"

#include <unistd.h>

#include "tests/support/TcpClient.h"

namespace testsupport {

std::optional<std::string> AgentRequest(int port, std::string_view request,
                                        std::chrono::milliseconds deadline) {
  const TestClock::time_point until = TestClock::now() + deadline;
  const int fd = ConnectLoopback(port, until);
  if (fd < 0) return std::nullopt;
  std::string received;
  const bool complete = SendAll(fd, request) && ReadUntil(fd, received, 1, until) &&
                        SendAll(fd, "QUIT\n") && ReadUntil(fd, received, 0, until);
  close(fd);
  if (!complete || received.size() < 2 || received.front() != '\0' || received.back() != '\0') {
    return std::nullopt;
  }
  return received.substr(1, received.size() - 2);
}

}  // namespace testsupport
