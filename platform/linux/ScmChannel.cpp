#include "platform/linux/ScmChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace platform::scm {

namespace {

constexpr uint32_t kRequestMagic = 0x54534352;  // "RCST"
constexpr uint32_t kReplyMagic = 0x54534341;    // "ACST"
constexpr int kRequestWaitMs = 1000;

struct RequestMessage {
  uint32_t magic;
  uint32_t control;
};

struct ReplyMessage {
  uint32_t magic;
  uint32_t error;
  SERVICE_STATUS status;
};

// The abstract address "\0tarvo-scm/<pid>/<start time>".
socklen_t ChannelAddress(int pid, uint64_t start_time, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  int n = std::snprintf(address->sun_path + 1, sizeof address->sun_path - 1, "tarvo-scm/%d/%llu",
                        pid, static_cast<unsigned long long>(start_time));
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

// Waits until fd is readable or the time is up. True when readable.
bool WaitReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int rc = poll(&p, 1, left.count() < 0 ? 0 : static_cast<int>(left.count()));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

ssize_t ReceiveMessage(int fd, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

int ListenControlChannel(int pid, uint64_t start_time, int* err) {
  // Non-blocking, so a caller that gave up before being accepted cannot block
  // the dispatcher in accept().
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  sockaddr_un address;
  socklen_t length = ChannelAddress(pid, start_time, &address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0) {
    *err = errno;
    close(fd);
    return -1;
  }
  return fd;
}

std::optional<ControlRequest> AcceptControl(int listen_fd) {
  int fd;
  do {
    fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  ControlRequest request;
  request.fd = fd;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
    request.peer_uid = credentials.uid;
  }
  RequestMessage message{};
  if (!WaitReadable(fd, kRequestWaitMs) ||
      ReceiveMessage(fd, &message, sizeof message) != static_cast<ssize_t>(sizeof message) ||
      message.magic != kRequestMagic) {
    close(fd);
    return std::nullopt;
  }
  request.control = message.control;
  return request;
}

void ReplyControl(int fd, const ControlReply& reply) {
  ReplyMessage message{kReplyMagic, reply.error, reply.status};
  // The controller may have given up waiting; a failed send changes nothing.
  send(fd, &message, sizeof message, MSG_NOSIGNAL);
  close(fd);
}

SendResult SendControl(int pid, uint64_t start_time, DWORD control,
                       std::chrono::milliseconds timeout, ControlReply* reply) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return SendResult::kBroken;
  sockaddr_un address;
  socklen_t length = ChannelAddress(pid, start_time, &address);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    close(fd);
    return (err == ECONNREFUSED || err == ENOENT) ? SendResult::kNoListener : SendResult::kBroken;
  }
  RequestMessage request{kRequestMagic, control};
  if (send(fd, &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
    close(fd);
    return SendResult::kBroken;
  }
  if (!WaitReadable(fd, static_cast<int>(timeout.count()))) {
    close(fd);
    return SendResult::kTimedOut;
  }
  ReplyMessage message{};
  ssize_t n = ReceiveMessage(fd, &message, sizeof message);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof message) || message.magic != kReplyMagic) {
    return SendResult::kBroken;
  }
  reply->error = message.error;
  reply->status = message.status;
  return SendResult::kReplied;
}

}  // namespace platform::scm
