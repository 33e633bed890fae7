#pragma once
// What the systemd backend asks of systemd's manager over the system bus
// (org.freedesktop.systemd1), with sd-bus. Every routine opens its own
// connection, so callers on any thread need no shared state; the bus is the one
// DBUS_SYSTEM_BUS_ADDRESS names, or the standard system bus. Failures come back
// as Win32 error codes (ERROR_SERVICE_DOES_NOT_EXIST for an unknown unit,
// ERROR_ACCESS_DENIED when policy refuses, the errno mapping otherwise).

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

namespace platform::systemd {

// One service unit as systemd knows it.
struct Unit {
  std::string id;           // "tarvo-agent.service"
  std::string description;  // the unit's Description=, or the id when it has none
  std::string active_state;  // active, reloading, inactive, failed, activating, deactivating
  std::string object_path;   // empty for a unit file systemd has not loaded
};

// Every service unit: the loaded ones (ListUnits) and the unit files not
// loaded (ListUnitFiles; templates and aliases left out, an alias being only
// another name of a unit listed already), sorted by id. A unit file not loaded
// gets the Description= its file gives.
std::optional<std::vector<Unit>> ListServiceUnits(DWORD* error);

// The service unit a Windows-style service name means: the unit whose id is the
// name, the name + ".service" or UnitNameFor(name), else the one whose
// Description is the name, letter case ignored either way (a unit file not
// loaded is matched by the Description= of its file). An alias finds the unit
// it names. The unit is loaded when only its file is known.
// ERROR_SERVICE_DOES_NOT_EXIST when none matches.
std::optional<Unit> FindServiceUnit(std::string_view name, DWORD* error);

// Fresh properties of a unit, loaded when needed.
struct UnitDetails {
  std::string active_state;
  std::string description;
  std::string unit_file_state;  // enabled, disabled, static, masked, ...
  std::string fragment_path;    // the unit file
  std::string user;             // User= of the service, empty for root
  std::vector<std::string> exec_start;  // the first ExecStart= command line
  pid_t main_pid = 0;
};
// ERROR_SERVICE_DOES_NOT_EXIST for a unit systemd cannot find (load state
// not-found).
std::optional<UnitDetails> LoadUnitDetails(std::string_view unit_id, DWORD* error);

// Manager calls; 0 or the Win32 error.
DWORD StartUnit(std::string_view unit_id);
DWORD StopUnit(std::string_view unit_id);
DWORD ReloadManager();
DWORD EnableUnitFile(std::string_view unit_id);
DWORD DisableUnitFile(std::string_view unit_id);

}  // namespace platform::systemd
