#pragma once
// Handles of the embedded service manager's control side. A handle carries the
// access rights it was opened with and, for a service, the name as installed;
// only handles that are open are accepted, so a closed or foreign pointer fails
// with ERROR_INVALID_HANDLE instead of being used.

#include <chrono>
#include <optional>
#include <string>

#include "platform/ServiceManager.h"

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

// Sets the last error and returns FALSE, for one-line failure paths.
BOOL Fail(DWORD error);
// The same for an errno value.
BOOL FailErrno(int err);

}  // namespace scm
}  // namespace platform
