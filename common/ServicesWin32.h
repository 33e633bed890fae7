#pragma once
// Query, start, stop and listing of the machine's services through the service
// control manager. Used by the agent's service commands and by the watchdog,
// which steers the agent's own service with the same three calls.

#include <string>
#include <string_view>

#include "platform/ServiceManager.h"
#include "platform/WinTypes.h"

namespace common {

// Closes a service-manager handle when it goes; a failed open leaves it null.
class ScHandle {
 public:
  explicit ScHandle(platform::SC_HANDLE handle) : handle_(handle) {}
  ~ScHandle() {
    if (handle_ != nullptr) platform::CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;

  platform::SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  platform::SC_HANDLE handle_;
};

// The status sentence of a service: "Service Is Running", "Service Is Stopped",
// ... by its current state; "Service Not Found" when the manager or the service
// cannot be opened with all access; empty for a state outside 1..7. The machine
// name is empty for the local machine. Traces each step at level 4.
std::string QueryService(const std::string& service_name, const std::string& machine_name);

// Sends the stop control to the service (when it can be opened with all access)
// and returns at once without waiting for it to stop. Reports nothing.
void StopNamedService(const std::string& service_name, const std::string& machine_name);

// Starts the service without arguments (when it can be opened with all access)
// and returns at once without waiting for it to run. Reports nothing.
void StartNamedService(const std::string& service_name, const std::string& machine_name);

// One line per Win32 service in every state, in the manager's order: display
// name, " | ", service name, " | ", short state word, CR LF. Empty text, with one
// level-1 log line naming the failure and the error number, when the manager
// cannot be opened or the enumeration fails.
std::string ListServicesText();

// The short word of a current-state number ("running", "stopped", ...); empty
// for a number outside 1..7.
std::string_view ShortServiceState(platform::DWORD state);

}  // namespace common
