#include "platform/linux/SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"

namespace platform::systemd {
namespace {

// A datagram socket bound to `address` (a path, or "@name" for an abstract
// name), as systemd binds its notification socket.
class Receiver {
 public:
  explicit Receiver(const std::string& address) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::memcpy(where.sun_path, address.data(), address.size());
    if (address[0] == '@') where.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&where), length) == 0;
  }
  ~Receiver() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  // The next datagram; the sender has already sent it.
  std::string Next() {
    char buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

TEST(SendNotification, ReachesPathAndAbstractSockets) {
  testsupport::TempFolder folder;
  const std::string path = folder.Path("notify");
  Receiver by_path(path);
  ASSERT_TRUE(by_path.bound());
  EXPECT_EQ(SendNotification(path, "READY=1\nSTATUS=running"), 0);
  EXPECT_EQ(by_path.Next(), "READY=1\nSTATUS=running");

  const std::string abstract = "@tarvo-notify-test-" + std::to_string(getpid());
  Receiver by_name(abstract);
  ASSERT_TRUE(by_name.bound());
  EXPECT_EQ(SendNotification(abstract, "STOPPING=1"), 0);
  EXPECT_EQ(by_name.Next(), "STOPPING=1");
}

TEST(SendNotification, RefusesAddressesThatAreNeitherPathNorName) {
  EXPECT_EQ(SendNotification("", "READY=1"), EINVAL);
  EXPECT_EQ(SendNotification("@", "READY=1"), EINVAL);
  EXPECT_EQ(SendNotification("relative/notify", "READY=1"), EINVAL);
  EXPECT_EQ(SendNotification("/" + std::string(200, 'x'), "READY=1"), EINVAL);
  testsupport::TempFolder folder;
  EXPECT_EQ(SendNotification(folder.Path("nobody-listens"), "READY=1"), ENOENT);
}

}  // namespace
}  // namespace platform::systemd
