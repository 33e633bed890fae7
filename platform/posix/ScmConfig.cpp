// Handles and the installed-service records: OpenSCManagerA, OpenServiceA,
// CreateServiceA, DeleteService, QueryServiceConfigA, ChangeServiceConfig2A,
// QueryServiceConfig2A, CloseServiceHandle.
#include "platform/posix/ScmHandles.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_set>

#include "platform/posix/ScmPack.h"
#include "platform/posix/ScmStore.h"

namespace platform {

namespace {

constexpr DWORD kStandardRightsRead = 0x00020000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kScManagerLock = 0x0008;
constexpr DWORD kScManagerQueryLockStatus = 0x0010;
constexpr DWORD kScManagerModifyBootConfig = 0x0020;
constexpr DWORD kServiceEnumerateDependents = 0x0008;
constexpr DWORD kServicePauseContinue = 0x0040;
constexpr DWORD kServiceUserDefinedControl = 0x0100;
constexpr DWORD kErrorInvalidLevel = 124;
constexpr size_t kMaxNameLength = 256;

std::mutex& HandlesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::unordered_set<ScHandleData*>& OpenHandles() {
  static std::unordered_set<ScHandleData*> handles;
  return handles;
}

// Service names as Windows accepts them: 1..256 characters, no slashes.
bool ValidServiceName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameLength &&
         name.find_first_of("/\\") == std::string_view::npos;
}

bool KnownDatabase(const char* database) {
  return database == nullptr || *database == '\0' || scm::NamesEqual(database, "ServicesActive");
}

}  // namespace

namespace scm {

SC_HANDLE NewHandle(bool is_manager, DWORD access, std::string name) {
  auto* data = new (std::nothrow) ScHandleData{is_manager, access, std::move(name)};
  if (data == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(HandlesMutex());
  OpenHandles().insert(data);
  return data;
}

std::optional<ScHandleData> CheckHandle(SC_HANDLE handle, bool want_manager, DWORD needed) {
  std::lock_guard<std::mutex> lock(HandlesMutex());
  if (handle == nullptr || OpenHandles().count(handle) == 0 || handle->is_manager != want_manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  if ((handle->access & needed) != needed) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return *handle;
}

bool DropHandle(SC_HANDLE handle) {
  {
    std::lock_guard<std::mutex> lock(HandlesMutex());
    if (handle == nullptr || OpenHandles().erase(handle) == 0) return false;
  }
  delete handle;
  return true;
}

DWORD MapManagerAccess(DWORD desired) {
  DWORD access = desired & 0x0FFFFFFF & ~kMaximumAllowed;
  if (desired & GENERIC_READ) {
    access |= kStandardRightsRead | SC_MANAGER_ENUMERATE_SERVICE | kScManagerQueryLockStatus;
  }
  if (desired & kGenericWrite) {
    access |= kStandardRightsRead | SC_MANAGER_CREATE_SERVICE | kScManagerModifyBootConfig;
  }
  if (desired & GENERIC_EXECUTE)
    access |= kStandardRightsRead | SC_MANAGER_CONNECT | kScManagerLock;
  if (desired & (GENERIC_ALL | kMaximumAllowed)) access |= SC_MANAGER_ALL_ACCESS;
  return access | SC_MANAGER_CONNECT;  // every open of the manager may connect
}

DWORD MapServiceAccess(DWORD desired) {
  DWORD access = desired & 0x0FFFFFFF & ~kMaximumAllowed;
  if (desired & GENERIC_READ) {
    access |= kStandardRightsRead | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
              SERVICE_INTERROGATE | kServiceEnumerateDependents;
  }
  if (desired & kGenericWrite) access |= kStandardRightsRead | SERVICE_CHANGE_CONFIG;
  if (desired & GENERIC_EXECUTE) {
    access |= kStandardRightsRead | SERVICE_START | SERVICE_STOP | kServicePauseContinue |
              kServiceUserDefinedControl;
  }
  if (desired & (GENERIC_ALL | kMaximumAllowed)) access |= SERVICE_ALL_ACCESS;
  return access;
}

std::chrono::milliseconds& ControlReplyTimeout() {
  static std::chrono::milliseconds timeout{30000};
  return timeout;
}

bool CheckCreateArguments(SC_HANDLE manager, const char* service_name, const char* display_name,
                          DWORD service_type, DWORD start_type, DWORD error_control,
                          const char* binary_path) {
  if (!CheckHandle(manager, true, SC_MANAGER_CREATE_SERVICE)) return false;
  if (service_name == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  if (!ValidServiceName(service_name) ||
      (display_name != nullptr && std::strlen(display_name) > kMaxNameLength)) {
    return Fail(ERROR_INVALID_NAME);
  }
  // Only service programs exist here: drivers and their start types are refused.
  const DWORD process_type = service_type & ~SERVICE_INTERACTIVE_PROCESS;
  const bool valid =
      (process_type == SERVICE_WIN32_OWN_PROCESS || process_type == SERVICE_WIN32_SHARE_PROCESS) &&
      start_type >= SERVICE_AUTO_START && start_type <= SERVICE_DISABLED && error_control <= 3 &&
      binary_path != nullptr && *binary_path != '\0';
  return valid || Fail(ERROR_INVALID_PARAMETER);
}

std::optional<ScHandleData> CheckLevelQuery(SC_HANDLE service, DWORD needed, DWORD info_level,
                                            DWORD wanted_level, const DWORD* bytes_needed) {
  auto data = CheckHandle(service, false, needed);
  if (!data) return std::nullopt;
  if (info_level != wanted_level) {
    SetLastError(kErrorInvalidLevel);
    return std::nullopt;
  }
  if (bytes_needed == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return std::nullopt;
  }
  return data;
}

bool CheckEnumArguments(SC_HANDLE manager, DWORD service_state, DWORD* bytes_needed,
                        DWORD* services_returned) {
  if (bytes_needed != nullptr) *bytes_needed = 0;
  if (services_returned != nullptr) *services_returned = 0;
  if (!CheckHandle(manager, true, SC_MANAGER_ENUMERATE_SERVICE)) return false;
  if (bytes_needed == nullptr || services_returned == nullptr) {
    return Fail(ERROR_INVALID_ADDRESS);
  }
  if (service_state == 0 || service_state > SERVICE_STATE_ALL) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return true;
}

bool PassesStateFilter(DWORD service_state, DWORD current_state) {
  const DWORD wanted = current_state == SERVICE_STOPPED ? SERVICE_INACTIVE : SERVICE_ACTIVE;
  return (service_state & wanted) != 0;
}

std::optional<ServiceConfig> RecordOfHandle(const std::string& root, std::string_view name) {
  int err = 0;
  auto config = LoadConfig(root, name, &err);
  if (config && IsGone(root, *config)) {
    config.reset();
    err = ENOENT;
  }
  if (!config) {
    SetLastError(err == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE : WinErrorFromErrno(err));
  }
  return config;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailErrno(int err) {
  return Fail(WinErrorFromErrno(err));
}

}  // namespace scm

namespace embedded {

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access) {
  if (!KnownDatabase(database)) {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  SC_HANDLE handle = scm::NewHandle(true, scm::MapManagerAccess(desired_access), "");
  if (handle != nullptr) SetLastError(ERROR_SUCCESS);
  return handle;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* service_name, DWORD desired_access) {
  if (!scm::CheckHandle(manager, true, SC_MANAGER_CONNECT)) return nullptr;
  if (service_name == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (!ValidServiceName(service_name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const std::string root = ServiceManagerRoot();
  int err = 0;
  auto config = scm::LoadConfig(root, service_name, &err);
  // A service deleted while it ran stays open to queries and the stop control
  // until its process has ended; then it is gone.
  if (config && scm::IsGone(root, *config)) {
    scm::RemoveIfGone(root, config->name);
    config.reset();
    err = ENOENT;
  }
  if (!config) {
    SetLastError(err == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : WinErrorFromErrno(err));
    return nullptr;
  }
  return scm::NewHandle(false, scm::MapServiceAccess(desired_access), config->name);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* service_name, const char* display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type,
                         DWORD error_control, const char* binary_path, const char* load_order_group,
                         DWORD* tag_id, const char* dependencies, const char* service_start_name,
                         const char* password) {
  if (!scm::CheckCreateArguments(manager, service_name, display_name, service_type, start_type,
                                 error_control, binary_path)) {
    return nullptr;
  }
  // Windows refuses an account it does not know at creation; nothing is made.
  if (service_start_name != nullptr && !scm::UserOfAccount(service_start_name)) {
    SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
    return nullptr;
  }
  scm::ServiceConfig config;
  config.name = service_name;
  config.display_name = (display_name != nullptr && *display_name) ? display_name : service_name;
  config.binary_path = scm::QuotedBinaryPath(binary_path);
  config.account =
      (service_start_name != nullptr && *service_start_name) ? service_start_name : "LocalSystem";
  config.type = service_type;
  config.start_type = start_type;
  config.error_control = error_control;
  // The service works on the files of its creator's TARVO_HOME, wherever it is
  // started from (the packaged launchers set it; a service manager's start
  // hands on nothing of its caller's environment).
  const char* home = std::getenv("TARVO_HOME");
  config.home = home != nullptr ? home : "";

  std::string root = ServiceManagerRoot();
  scm::StoreLock lock;
  if (DWORD error = lock.Acquire(root, true)) {
    SetLastError(error);
    return nullptr;
  }
  if (auto existing = scm::LoadConfig(root, service_name)) {
    // A deleted service whose process still runs holds its name until it ends.
    if (!scm::IsGone(root, *existing)) {
      SetLastError(existing->deleted ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
      return nullptr;
    }
    scm::RemoveConfig(root, existing->name);
  }
  // A status record left by a deleted service whose record went first (as
  // older versions deleted) holds the name the same way.
  if (scm::LiveStatus(root, service_name).dwCurrentState != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return nullptr;
  }
  scm::RemoveStatus(root, service_name);
  if (int save_err = scm::SaveConfig(root, config)) {
    scm::FailErrno(save_err);
    return nullptr;
  }
  if (tag_id != nullptr) *tag_id = 0;
  return scm::NewHandle(false, scm::MapServiceAccess(desired_access), config.name);
}

BOOL DeleteService(SC_HANDLE service) {
  auto data = scm::CheckHandle(service, false, DELETE);
  if (!data) return FALSE;
  std::string root = ServiceManagerRoot();
  scm::StoreLock lock;
  if (DWORD error = lock.Acquire(root, true)) return scm::Fail(error);
  auto record = scm::RecordOfHandle(root, data->name);
  if (!record) return FALSE;
  if (record->deleted) return scm::Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  // A running service is only marked: it can still be queried and stopped
  // under its name, and its record goes once its process has ended.
  if (scm::LiveStatus(root, data->name).dwCurrentState != SERVICE_STOPPED) {
    record->deleted = true;
    if (int save_err = scm::SaveConfig(root, *record)) return scm::FailErrno(save_err);
    return TRUE;
  }
  if (int remove_err = scm::RemoveConfig(root, data->name)) return scm::FailErrno(remove_err);
  scm::RemoveStatus(root, data->name);
  return TRUE;
}

BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD buffer_size,
                         DWORD* bytes_needed) {
  auto data = scm::CheckHandle(service, false, SERVICE_QUERY_CONFIG);
  if (!data) return FALSE;
  if (bytes_needed == nullptr) return scm::Fail(ERROR_INVALID_ADDRESS);
  auto record = scm::RecordOfHandle(ServiceManagerRoot(), data->name);
  if (!record) return FALSE;
  return scm::PackServiceConfig(*record, config, buffer_size, bytes_needed);
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, void* info) {
  auto data = scm::CheckHandle(service, false, SERVICE_CHANGE_CONFIG);
  if (!data) return FALSE;
  if (info_level != SERVICE_CONFIG_DESCRIPTION) return scm::Fail(kErrorInvalidLevel);
  if (info == nullptr) return scm::Fail(ERROR_INVALID_PARAMETER);
  const char* text = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
  if (text == nullptr) return TRUE;  // null leaves the description as it is
  std::string root = ServiceManagerRoot();
  scm::StoreLock lock;
  if (DWORD error = lock.Acquire(root, true)) return scm::Fail(error);
  auto record = scm::RecordOfHandle(root, data->name);
  if (!record) return FALSE;
  if (record->deleted) return scm::Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  record->description = text;
  if (int save_err = scm::SaveConfig(root, *record)) return scm::FailErrno(save_err);
  return TRUE;
}

BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  auto data = scm::CheckLevelQuery(service, SERVICE_QUERY_CONFIG, info_level,
                                   SERVICE_CONFIG_DESCRIPTION, bytes_needed);
  if (!data) return FALSE;
  auto record = scm::RecordOfHandle(ServiceManagerRoot(), data->name);
  if (!record) return FALSE;
  return scm::PackDescription(record->description, buffer, buffer_size, bytes_needed);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (!scm::DropHandle(handle)) return scm::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

}  // namespace embedded
}  // namespace platform
