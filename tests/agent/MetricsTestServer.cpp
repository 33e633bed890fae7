#include "tests/agent/MetricsTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace agent {
namespace {

using Clock = MetricsSession::Clock;

struct Connection {
  int Fd = -1;
  std::unique_ptr<MetricsSession> Session;
  bool Broken = false;  // the socket failed: closed without a word
};

}  // namespace

MetricsTestServer::MetricsTestServer(const MetricsSite& site) : site_(site) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, SOMAXCONN) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

MetricsTestServer::~MetricsTestServer() {
  if (thread_.joinable()) {
    const char stop = 's';
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
  }
  for (const int fd : {listener_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void MetricsTestServer::Run() {
  std::vector<Connection> connections;
  while (true) {
    // The listener and the stop pipe first, then each connection as its session wants.
    std::vector<pollfd> watched = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    Clock::time_point wake_at = Clock::time_point::max();
    for (const Connection& c : connections) {
      const short events = static_cast<short>((c.Session->WantsRead() ? POLLIN : 0) |
                                              (c.Session->WantsWrite() ? POLLOUT : 0));
      watched.push_back({c.Fd, events, 0});
      wake_at = std::min(wake_at, c.Session->Deadline());
    }
    int timeout = -1;
    if (wake_at != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake_at - Clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    if (poll(watched.data(), watched.size(), timeout) < 0) continue;
    if (watched[0].revents != 0) break;
    const Clock::time_point now = Clock::now();

    for (size_t k = 0; k < connections.size(); ++k) {
      Connection& c = connections[k];
      const short revents = watched[k + 2].revents;
      if (revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[65536];
        const ssize_t n = recv(c.Fd, buffer, sizeof buffer, 0);
        if (n > 0) c.Session->Receive(std::string_view(buffer, static_cast<size_t>(n)), now);
        if (n == 0) c.Session->ReceiveEnd(now);
        if (n < 0 && errno != EAGAIN && errno != EINTR) c.Broken = true;
      }
      if ((revents & POLLOUT) && c.Session->WantsWrite()) {
        const std::string_view output = c.Session->Output();
        const ssize_t n = send(c.Fd, output.data(), output.size(), MSG_NOSIGNAL);
        if (n > 0) c.Session->Sent(static_cast<size_t>(n), now);
        if (n < 0 && errno != EAGAIN && errno != EINTR) c.Broken = true;
      }
      if (now >= c.Session->Deadline()) c.Session->Expire(now);
    }
    std::erase_if(connections, [](const Connection& c) {
      if (!c.Broken && !c.Session->Done()) return false;
      close(c.Fd);
      return true;
    });

    if (watched[1].revents & POLLIN) {
      sockaddr_in peer{};
      socklen_t length = sizeof(peer);
      while (true) {
        const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        connections.push_back({fd, std::make_unique<MetricsSession>(site_, text, true, now), false});
      }
    }
  }
  for (const Connection& c : connections) close(c.Fd);
}

}  // namespace agent
