#include "tests/support/AgentClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

int ConnectUntil(int port, Clock::time_point deadline) {
  while (true) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) == 0) return fd;
    close(fd);
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Reads into received until it holds at least `least` bytes, or, with least 0,
// until the peer closes. Returns false on a failure or at the deadline.
bool ReadUntil(int fd, std::string& received, size_t least, Clock::time_point deadline) {
  char buffer[65536];
  while (least == 0 || received.size() < least) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0) return false;
    if (n == 0) return least == 0;
    received.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> AgentRequest(int port, std::string_view request,
                                        std::chrono::milliseconds deadline) {
  const Clock::time_point until = Clock::now() + deadline;
  const int fd = ConnectUntil(port, until);
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
