#pragma once
// Small system facilities the programs need: executable path, computer name,
// beep, the system log, the single-instance lock.

#include <optional>
#include <string>

namespace platform {

// Absolute path of the running executable (from /proc/self/exe); empty on failure.
std::string ExecutablePath();

// The machine's full host name (gethostname); empty on failure.
std::string ComputerName();

// The machine's NIS/YP domain (getdomainname), which stands for the signed-on
// user's logon domain; empty when it is unset, "(none)" or unreadable.
std::string LogonDomain();

// Minutes west of UTC of the local zone's standard time, as the Windows
// time-zone Bias counts them (UTC = local standard time + bias; UTC-3 gives 180).
// Daylight saving is never included. 0 for UTC or when the zone is unknown.
int StandardTimeBiasMinutes();

// Sounds the terminal bell when standard error is a terminal; otherwise does
// nothing. Never fails.
void Beep();

// Writes one information entry to the system log (facility daemon) under the
// given program name, in place of the Windows Application event log.
void WriteEventLog(const std::string& ident, const std::string& text);

// An exclusive lock on a file, held for the life of the object (and so of the
// process); the kernel releases it when the process dies.
class InstanceLock {
 public:
  // Returns the lock, or nothing when another process holds it (error, when
  // given, then reads EWOULDBLOCK) or the file cannot be opened (error: the
  // errno of the open). A file that can be read but not written (a folder the
  // account may not write to) is enough to hold the lock.
  static std::optional<InstanceLock> Acquire(const std::string& path, int* error = nullptr);
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&&) = delete;
  ~InstanceLock();

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace platform
