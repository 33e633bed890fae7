#pragma once
// The records of the embedded service manager below its root folder:
//
//   <root>/lock                     flock'ed while services are created, deleted,
//                                   started and while a status record is rewritten;
//                                   a wait for it is bounded (LockWaitTimeout)
//   <root>/services/<key>           one record per installed service
//   <root>/status/<key>/status      the status record of a started service; the
//                                   folder belongs to the service's account so that
//                                   the service can rewrite the record atomically
//
// <key> is the lower-cased service name with every byte outside [a-z0-9._-]
// written as %XX, so names that differ only in letter case share one record.
// Records are key=value lines, written to a temporary file and renamed.
// Routines that touch files return 0 or an errno value.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileAccess.h"
#include "platform/ServiceManager.h"

namespace platform::scm {

// What CreateServiceA recorded (the password is never kept).
struct ServiceConfig {
  std::string name;  // as created
  std::string display_name;
  std::string binary_path;  // program and arguments, one command line
  std::string account;      // "LocalSystem" when created without one
  std::string description;
  // TARVO_HOME of the creator, given to the service when it starts (empty:
  // none). Nothing for a record written before the field existed: the service
  // then gets the TARVO_HOME of whoever starts it, as such records always did.
  std::optional<std::string> home;
  // DeleteService was called while the service ran: the record stays open to
  // queries and the stop control until the process has ended, then it goes.
  bool deleted = false;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
};

// The last status a started service reported, and which process it is. The
// start time (clock ticks after boot, /proc/<pid>/stat field 22) tells a reused
// process id from the service's own process.
struct StatusRecord {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  int pid = 0;
  uint64_t start_time = 0;
  std::string args;  // StartServiceA's arguments as one command line
};

// The local user a service account stands for, the one rule of both
// backends: "" for the system account ("LocalSystem" or none: root), else the
// user that "name", ".\\name" or "DOMAIN\\name" names, since only local users
// exist here. Nothing when that user name is empty or no such user exists: the
// service manager refuses the account (ERROR_INVALID_SERVICE_ACCOUNT).
std::optional<std::string> UserOfAccount(std::string_view account);

// A binary path that names an existing file as a whole but holds blanks,
// quoted so that it is read as one program when started; any other path as given.
std::string QuotedBinaryPath(std::string_view binary_path);

// Service names match ignoring (ASCII) letter case, as on Windows.
bool NamesEqual(std::string_view a, std::string_view b);
bool NameLess(std::string_view a, std::string_view b);

// The file-name key of a service name (see the layout above). Long keys are
// shortened and completed with a hash so they stay within NAME_MAX.
std::string ServiceKey(std::string_view name);

// Record texts. Values have backslash, CR and LF escaped; unknown keys are
// ignored so older readers accept newer records.
std::string FormatConfig(const ServiceConfig& config);
std::optional<ServiceConfig> ParseConfig(std::string_view text);
std::string FormatStatus(const StatusRecord& record);
std::optional<StatusRecord> ParseStatus(std::string_view text);

// Folders and files.
std::string ServicesFolder(const std::string& root);
std::string StatusFolder(const std::string& root, std::string_view name);
// mkdir -p with mode 0755 for every created level.
int EnsureFolder(const std::string& path);
// Writes bytes to a temporary file beside path and renames it over path.
using platform::WriteFileAtomic;
// The records and unit files this layer reads are small: a larger file is
// not one of them.
inline constexpr size_t kMaxTextFileBytes = 1 << 20;
// A whole regular file of at most max_bytes; nothing when it cannot be read
// (err, when given, gets errno: EINVAL for anything but a regular file, a FIFO
// or a device included, EFBIG for a larger file). Read through the shared file
// access, so a FIFO put in a record's place never hangs the caller.
std::optional<std::string> ReadTextFile(const std::string& path, int* err = nullptr,
                                        size_t max_bytes = kMaxTextFileBytes);

// The installed service of that name (any letter case), or nothing (err gets
// ENOENT or the reading error). A record marked deleted is returned as well;
// see IsGone.
std::optional<ServiceConfig> LoadConfig(const std::string& root, std::string_view name,
                                        int* err = nullptr);
// Every installed service, in no particular order. A root that does not exist
// holds none.
std::vector<ServiceConfig> LoadAllConfigs(const std::string& root);
int SaveConfig(const std::string& root, const ServiceConfig& config);
int RemoveConfig(const std::string& root, std::string_view name);

std::optional<StatusRecord> LoadStatus(const std::string& root, std::string_view name);
// Creates the status folder when missing (owned by uid/gid when they are given,
// i.e. not -1) and writes the record.
int SaveStatus(const std::string& root, std::string_view name, const StatusRecord& record,
               uid_t owner = static_cast<uid_t>(-1), gid_t group = static_cast<gid_t>(-1));
// Removes the status record and its folder.
void RemoveStatus(const std::string& root, std::string_view name);

// The status in force: the record's, unless there is none, it says stopped,
// or its process is gone, a zombie or another process with the same id; then
// SERVICE_STOPPED with process id 0 (and exit code 1067 for a process that
// ended without reporting stopped). A process that reported stopped and has not
// ended yet reads SERVICE_STOP_PENDING, accepting no controls.
SERVICE_STATUS_PROCESS LiveStatus(const std::string& root, std::string_view name);

// Whether a record marked deleted belongs to a service whose process has
// ended: it then counts as not installed.
bool IsGone(const std::string& root, const ServiceConfig& config);
// Removes the record and status of a service that IsGone, when the lock can be
// had at once (readers never wait for it; the next caller tidies up instead).
void RemoveIfGone(const std::string& root, std::string_view name);

// How long StoreLock::Acquire waits for another holder before giving up with
// ERROR_SERVICE_DATABASE_LOCKED: a few seconds, so a stuck holder (a stopped
// tarvo-sc, a crashed writer's orphan) costs a clear error instead of a hang.
// Tests shorten it.
std::chrono::milliseconds& LockWaitTimeout();

// Exclusive flock on <root>/lock, released by the destructor. create makes the
// root and the lock file when missing (writers); without it a missing lock file
// means there is nothing to serialise with and Acquire succeeds unlocked.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // 0, ERROR_SERVICE_DATABASE_LOCKED when another holder kept the lock for
  // `wait` (LockWaitTimeout by default), or the Windows code of the failure.
  DWORD Acquire(const std::string& root, bool create);
  DWORD Acquire(const std::string& root, bool create, std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
};

}  // namespace platform::scm
