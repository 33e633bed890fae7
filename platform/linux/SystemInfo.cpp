#include "platform/SystemInfo.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof(buffer))) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ComputerName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0) return {};
  return buffer;
}

std::string LogonDomain() {
  char buffer[256] = {};
  if (getdomainname(buffer, sizeof(buffer) - 1) != 0) return {};
  const std::string domain = buffer;
  return domain == "(none)" ? std::string() : domain;
}

int StandardTimeBiasMinutes() {
  // tzset() reads TZ (or /etc/localtime) and leaves the standard-time offset, in
  // seconds west of UTC, in the C library's `timezone`.
  tzset();
  return static_cast<int>(timezone / 60);
}

void Beep() {
  if (isatty(STDERR_FILENO)) {
    const ssize_t ignored = write(STDERR_FILENO, "\a", 1);
    (void)ignored;
  }
}

void WriteEventLog(const std::string& ident, const std::string& text) {
  openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_INFO, "%s", text.c_str());
  closelog();
}

std::optional<InstanceLock> InstanceLock::Acquire(const std::string& path, int* error) {
  int ignored_error = 0;
  int& cause = error != nullptr ? *error : ignored_error;
  // Close-on-exec, so that programs the service starts never hold the lock.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    // flock needs no write access: an existing file that can be read will do.
    cause = errno;
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) cause = errno;
    if (fd < 0) return std::nullopt;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    cause = errno;
    close(fd);
    return std::nullopt;
  }
  cause = 0;
  return InstanceLock(fd);
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace platform
