#include "tests/support/TcpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace testsupport {

int ConnectLoopback(int port, TestClock::time_point deadline) {
  while (true) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) == 0) return fd;
    close(fd);
    if (TestClock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int ListenLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(local);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = ntohs(local.sin_port);
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ReadUntil(int fd, std::string& received, size_t least, TestClock::time_point deadline) {
  char buffer[65536];
  while (least == 0 || received.size() < least) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TestClock::now());
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

}  // namespace testsupport
