#include "tests/support/TlsTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "common/TextUtil.h"
#include "common/TlsSession.h"

namespace testsupport {
namespace {

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TlsTestServer::TlsTestServer(const common::TlsContext& context, Answer answer)
    : context_(context), answer_(std::move(answer)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stop_, O_CLOEXEC) != 0) {
    throw std::runtime_error("TlsTestServer: cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TlsTestServer::~TlsTestServer() {
  close(stop_[1]);
  thread_.join();
  close(stop_[0]);
  close(listener_);
}

std::vector<std::string> TlsTestServer::Outcomes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return outcomes_;
}

void TlsTestServer::Note(std::string outcome) {
  const std::lock_guard<std::mutex> lock(mutex_);
  outcomes_.push_back(std::move(outcome));
}

void TlsTestServer::Run() {
  while (true) {
    pollfd waiting[2] = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    if (poll(waiting, 2, -1) < 0) continue;
    if (waiting[0].revents != 0) return;
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    Serve(connection);
    close(connection);
  }
}

void TlsTestServer::Serve(int connection) {
  common::TlsSession session(context_);
  std::string pending;
  bool served = false;
  const auto finish = [&] {
    SendAll(connection, session.TakeCiphertext());
    if (session.state() == common::TlsSession::State::kFailed) {
      Note("refused: " + session.failure_reason());
    } else {
      const std::string name = session.PeerCommonName();
      Note("served " + (name.empty() ? std::string("-") : name) +
           (session.Resumed() ? " resumed" : ""));
    }
  };
  while (true) {
    pollfd waiting[2] = {{stop_[0], POLLIN, 0}, {connection, POLLIN, 0}};
    if (poll(waiting, 2, -1) < 0) continue;
    if (waiting[0].revents != 0) return finish();
    char buffer[16384];
    const ssize_t received = recv(connection, buffer, sizeof(buffer), 0);
    if (received <= 0) {
      session.FeedEnd();
    } else {
      session.FeedCiphertext(std::string_view(buffer, static_cast<size_t>(received)));
    }
    pending += session.TakePlaintext();
    for (size_t end = pending.find('\n'); end != std::string::npos && !served;
         end = pending.find('\n')) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      session.SendPlaintext(std::string(1, '\0') + answer_(line));
      if (common::ToUpper(line).find("QUIT") != std::string::npos) {
        session.Close();
        served = true;
      }
    }
    const common::TlsSession::State state = session.state();
    if (served || state == common::TlsSession::State::kFailed ||
        state == common::TlsSession::State::kClosed) {
      return finish();
    }
    if (!SendAll(connection, session.TakeCiphertext())) return finish();
  }
}

}  // namespace testsupport
