#include "platform/linux/SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace platform::systemd {

int SendNotification(std::string_view address, std::string_view message) {
  sockaddr_un target{};
  target.sun_family = AF_UNIX;
  // A path must end in a NUL within sun_path; an abstract name need not.
  const bool abstract = address.starts_with('@');
  if (address.size() < 2 || (!abstract && !address.starts_with('/')) ||
      address.size() > sizeof target.sun_path - (abstract ? 0 : 1)) {
    return EINVAL;
  }
  std::memcpy(target.sun_path, address.data(), address.size());
  if (abstract) target.sun_path[0] = '\0';
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (abstract ? 0 : 1));

  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  ssize_t sent;
  do {
    sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&target), length);
  } while (sent < 0 && errno == EINTR);
  const int err = sent < 0 ? errno : 0;
  close(fd);
  return err;
}

int NotifyServiceManager(std::string_view message) {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || *address == '\0') return 0;
  return SendNotification(address, message);
}

}  // namespace platform::systemd
