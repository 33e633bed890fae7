#pragma once
// Handles of the service manager's control side, and the argument checks both
// backends make the same way. A handle carries the access rights it was opened
// with and, for a service, the name as installed; only handles that are open
// are accepted, so a closed or foreign pointer fails with ERROR_INVALID_HANDLE
// instead of being used.

#include <chrono>
#include <optional>
#include <string>

#include "platform/ServiceManager.h"
#include "platform/posix/ScmStore.h"

namespace platform {

struct ScHandleData {
  bool is_manager = false;
  DWORD access = 0;
  std::string name;  // service handles: the name as installed
};

namespace scm {

// Registers a new handle; nullptr (with ERROR_NOT_ENOUGH_MEMORY) on failure.
SC_HANDLE NewHandle(bool is_manager, DWORD access, std::string name);

// A copy of the handle's data when it is open, of the wanted kind and holds
// every right in `needed`; otherwise nothing, with the last error set (6 or 5).
std::optional<ScHandleData> CheckHandle(SC_HANDLE handle, bool want_manager, DWORD needed);

// Forgets and frees a handle; false when it was not open.
bool DropHandle(SC_HANDLE handle);

// Generic rights folded into the specific rights they stand for.
DWORD MapManagerAccess(DWORD desired);
DWORD MapServiceAccess(DWORD desired);

// How long ControlService waits for the dispatcher's answer before failing
// with ERROR_SERVICE_REQUEST_TIMEOUT (30 s, as Windows; tests shorten it).
std::chrono::milliseconds& ControlReplyTimeout();

// CreateServiceA's checks before anything is looked up: the manager handle
// (with SC_MANAGER_CREATE_SERVICE), the name (487 when null, 123 when empty,
// longer than 256 characters or holding a slash, likewise a display name over
// 256), and 87 for anything but a service program, an unknown start type or
// error control, or no binary path. false with the last error set.
bool CheckCreateArguments(SC_HANDLE manager, const char* service_name, const char* display_name,
                          DWORD service_type, DWORD start_type, DWORD error_control,
                          const char* binary_path);

// The head of a call that fills a caller's buffer at an information level
// (QueryServiceStatusEx, QueryServiceConfig2A): the service handle with
// `needed`, 124 for a level other than `wanted_level`, 487 without
// bytes_needed. The handle's data, or nothing with the last error set.
std::optional<ScHandleData> CheckLevelQuery(SC_HANDLE service, DWORD needed, DWORD info_level,
                                            DWORD wanted_level, const DWORD* bytes_needed);

// The head of EnumServicesStatusA: zeroes the counts, then checks the manager
// handle, the count pointers (487) and the state filter (87). false with the
// last error set.
bool CheckEnumArguments(SC_HANDLE manager, DWORD service_state, DWORD* bytes_needed,
                        DWORD* services_returned);

// Whether a service in `current_state` passes EnumServicesStatusA's state
// filter (SERVICE_ACTIVE, SERVICE_INACTIVE or both).
bool PassesStateFilter(DWORD service_state, DWORD current_state);

// The embedded manager's record of the service an open handle names, unless
// it has gone since the handle was opened (deleted, or deleted while running
// and its process has ended): then nothing, with ERROR_SERVICE_MARKED_FOR_DELETE
// as Windows answers on such a handle, or the reading error.
std::optional<ServiceConfig> RecordOfHandle(const std::string& root, std::string_view name);

// Sets the last error and returns FALSE, for one-line failure paths.
BOOL Fail(DWORD error);
// The same for an errno value.
BOOL FailErrno(int err);

}  // namespace scm
}  // namespace platform
