#pragma once
// Installation and control of one service through the service manager, for the
// installer window. Each routine that acts on a service takes its name and
// returns the error code of the step that failed, or 0; the codes are not shown
// to the user, the window's next refresh shows the outcome instead.

#include <cstdint>
#include <string>

#include "platform/WinTypes.h"

namespace installer {

inline constexpr const char* kAgentServiceName = "Tarvo Agent Service";
inline constexpr const char* kWatchdogServiceName = "Tarvo WatchDog Service";
// The description the agent service gets; the watchdog gets none.
inline constexpr const char* kAgentServiceDescription = "Tarvo...";

// 0 when the service is installed, with its account (start name) in *account;
// otherwise the error code of the open or the configuration read.
platform::DWORD CheckServiceInstalled(const std::string& service_name, std::string* account);

// The service's current state (1 stopped, 4 running, ...), or 0 when anything
// fails.
int32_t QueryServiceState(const std::string& service_name);

// Creates the service, own process and started automatically, for the account
// and password; the agent service also gets its description. The account is
// first qualified (see QualifiedAccount) and written back. The password is not
// kept anywhere.
platform::DWORD InstallService(const std::string& service_name, const std::string& binary_path,
                               std::string& account, const std::string& password);

// Sends the stop control (its result is ignored) and deletes the service.
platform::DWORD UninstallService(const std::string& service_name);

platform::DWORD StartServiceByName(const std::string& service_name);
platform::DWORD StopServiceByName(const std::string& service_name);

// What one refresh of a frame reads: whether the service is installed (with
// its account) and, when it is, its state (0 when unreadable).
struct ServiceReading {
  bool Installed = false;
  std::string Account;
  int32_t State = 0;
};
ServiceReading ReadService(const std::string& service_name);

// The signed-on user's logon domain, or empty.
std::string GetLogonDomain();

// The path in the form given to the service manager. Paths here have no short
// form: it is returned unchanged, blanks included (the manager quotes it).
std::string GetShortPath(const std::string& path);

// "LocalSystem" and accounts holding "\" as they are; any other name prefixed
// with the logon domain (or "." when it is empty) and "\".
std::string QualifiedAccount(const std::string& account, const std::string& logon_domain);

}  // namespace installer
