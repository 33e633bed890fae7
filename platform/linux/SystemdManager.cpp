// The control side on systemd: the Win32-shaped service-manager calls answered
// by systemd over D-Bus. A service handle names the unit it was opened on; the
// states, the access checks and the error codes are those of the embedded
// manager, so callers cannot tell the backends apart by their answers.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/linux/SystemdBus.h"
#include "platform/linux/SystemdUnitFile.h"
#include "platform/posix/ScmBackends.h"
#include "platform/posix/ScmHandles.h"
#include "platform/posix/ScmPack.h"
#include "platform/posix/ScmStore.h"

namespace platform::systemd {

namespace {

constexpr DWORD kErrorInvalidLevel = 124;
constexpr DWORD kErrorProcessAborted = 1067;
constexpr DWORD kServicePauseContinue = 0x0040;
constexpr DWORD kServiceUserDefinedControl = 0x0100;

DWORD StateOf(std::string_view active_state) {
  if (active_state == "active" || active_state == "reloading") return SERVICE_RUNNING;
  if (active_state == "activating") return SERVICE_START_PENDING;
  if (active_state == "deactivating") return SERVICE_STOP_PENDING;
  return SERVICE_STOPPED;  // inactive, failed, maintenance
}

SERVICE_STATUS StatusOf(std::string_view active_state) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, StateOf(active_state), 0, 0, 0, 0, 0};
  // A running unit takes stop, and systemd stops it at shutdown.
  if (status.dwCurrentState == SERVICE_RUNNING) {
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  }
  if (active_state == "failed") status.dwWin32ExitCode = kErrorProcessAborted;
  return status;
}

BOOL FailWith(DWORD error) { return scm::Fail(error); }

std::optional<UnitDetails> DetailsFor(const ScHandleData& data) {
  DWORD error = 0;
  auto details = LoadUnitDetails(data.name, &error);
  if (!details) {
    SetLastError(error == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : error);
  }
  return details;
}

// The unit file behind a unit when it lies in the folder this backend writes
// to; only those are changed or removed (packaged units belong to dpkg).
std::optional<std::string> OwnUnitFile(const UnitDetails& details) {
  const std::string folder = UnitFolder() + "/";
  if (!details.fragment_path.starts_with(folder)) return std::nullopt;
  return details.fragment_path;
}

// The right a control needs, 0 for controls ControlService does not send.
DWORD RightForControl(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) return SERVICE_STOP;
  if (control == SERVICE_CONTROL_INTERROGATE) return SERVICE_INTERROGATE;
  if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE ||
      (control >= 6 && control <= 10)) {
    return kServicePauseContinue;
  }
  return (control >= 128 && control <= 255) ? kServiceUserDefinedControl : 0;
}

}  // namespace

// Manager handles live in the table both backends share and hold nothing of
// systemd's: the embedded manager's routine makes them.
SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access) {
  return embedded::OpenSCManagerA(machine, database, desired_access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* service_name, DWORD desired_access) {
  if (!scm::CheckHandle(manager, true, SC_MANAGER_CONNECT)) return nullptr;
  if (service_name == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (*service_name == '\0' || std::strchr(service_name, '/') != nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD error = 0;
  auto unit = FindServiceUnit(service_name, &error);
  if (!unit) {
    SetLastError(error);
    return nullptr;
  }
  return scm::NewHandle(false, scm::MapServiceAccess(desired_access), unit->id);
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
  // A program path systemd would refuse to run is refused here, instead of a
  // unit that can never start.
  const std::vector<std::string> command = SplitCommandLine(binary_path);
  if (command.empty() || !ValidProgramPath(command[0])) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string display =
      display_name != nullptr && *display_name ? display_name : service_name;
  DWORD error = 0;
  if (FindServiceUnit(service_name, &error) ||
      (error == ERROR_SERVICE_DOES_NOT_EXIST && FindServiceUnit(display, &error))) {
    SetLastError(ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
    SetLastError(error);
    return nullptr;
  }

  UnitDefinition unit;
  unit.description = display;
  unit.command = command;
  const auto user = scm::UserOfAccount(service_start_name != nullptr ? service_start_name : "");
  if (!user) {
    SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
    return nullptr;
  }
  unit.user = *user;
  if (const char* home = std::getenv("TARVO_HOME"); home != nullptr) unit.home = home;
  unit.start_at_boot = start_type == SERVICE_AUTO_START;

  const std::string id = UnitNameFor(service_name);
  const std::string path = UnitFolder() + "/" + id;
  if (access(path.c_str(), F_OK) == 0) {
    SetLastError(ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  if (int err = scm::WriteFileAtomic(path, UnitFileText(unit), true)) {
    scm::FailErrno(err);
    return nullptr;
  }
  if ((error = ReloadManager()) != 0 ||
      (unit.start_at_boot && (error = EnableUnitFile(id)) != 0)) {
    unlink(path.c_str());
    ReloadManager();
    SetLastError(error);
    return nullptr;
  }
  if (tag_id != nullptr) *tag_id = 0;
  return scm::NewHandle(false, scm::MapServiceAccess(desired_access), id);
}

BOOL DeleteService(SC_HANDLE service) {
  auto data = scm::CheckHandle(service, false, DELETE);
  if (!data) return FALSE;
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  auto file = OwnUnitFile(*details);
  if (!file) return FailWith(ERROR_ACCESS_DENIED);
  DisableUnitFile(data->name);  // a unit that was never enabled has nothing to undo
  if (unlink(file->c_str()) != 0 && errno != ENOENT) return scm::FailErrno(errno);
  if (DWORD error = ReloadManager()) return FailWith(error);
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
  auto data = scm::CheckHandle(service, false, SERVICE_START);
  if (!data) return FALSE;
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  if (details->unit_file_state.starts_with("masked")) return FailWith(ERROR_SERVICE_DISABLED);
  if (StateOf(details->active_state) != SERVICE_STOPPED) {
    return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
  }
  // Start arguments have no systemd counterpart; the unit's command line runs.
  if (DWORD error = StartUnit(data->name)) return FailWith(error);
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  auto data = scm::CheckHandle(service, false, 0);
  if (!data) return FALSE;
  if (status == nullptr) return FailWith(ERROR_INVALID_ADDRESS);
  const DWORD right = RightForControl(control);
  if (right == 0) return FailWith(ERROR_INVALID_PARAMETER);
  if ((data->access & right) != right) return FailWith(ERROR_ACCESS_DENIED);
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  *status = StatusOf(details->active_state);
  const DWORD state = status->dwCurrentState;
  if (state == SERVICE_STOPPED) return FailWith(ERROR_SERVICE_NOT_ACTIVE);
  if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
    return FailWith(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  if (control != SERVICE_CONTROL_STOP) return FailWith(ERROR_INVALID_SERVICE_CONTROL);
  if (DWORD error = StopUnit(data->name)) return FailWith(error);
  // The answer is the state the stop leads to: stop pending until systemd
  // reports the unit gone.
  DWORD ignored = 0;
  auto after = LoadUnitDetails(data->name, &ignored);
  *status = StatusOf(after && StateOf(after->active_state) != SERVICE_RUNNING
                         ? after->active_state
                         : "deactivating");
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  auto data = scm::CheckHandle(service, false, SERVICE_QUERY_STATUS);
  if (!data) return FALSE;
  if (status == nullptr) return FailWith(ERROR_INVALID_ADDRESS);
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  *status = StatusOf(details->active_state);
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  auto data = scm::CheckLevelQuery(service, SERVICE_QUERY_STATUS, info_level,
                                   SC_STATUS_PROCESS_INFO, bytes_needed);
  if (!data) return FALSE;
  if (buffer == nullptr || buffer_size < sizeof(SERVICE_STATUS_PROCESS)) {
    *bytes_needed = sizeof(SERVICE_STATUS_PROCESS);
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  const SERVICE_STATUS status = StatusOf(details->active_state);
  SERVICE_STATUS_PROCESS full{};
  std::memcpy(&full, &status, sizeof status);
  full.dwProcessId = status.dwCurrentState == SERVICE_STOPPED ? 0 : details->main_pid;
  std::memcpy(buffer, &full, sizeof full);
  *bytes_needed = 0;
  return TRUE;
}

BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD service_type, DWORD service_state,
                         ENUM_SERVICE_STATUSA* services, DWORD buffer_size, DWORD* bytes_needed,
                         DWORD* services_returned, DWORD* resume_handle) {
  if (!scm::CheckEnumArguments(manager, service_state, bytes_needed, services_returned)) {
    return FALSE;
  }
  // Every unit is a service program; a request for drivers only lists none.
  if ((service_type & SERVICE_WIN32) == 0) {
    return (service_type & 0x0B) != 0 ? TRUE : FailWith(ERROR_INVALID_PARAMETER);
  }
  DWORD error = 0;
  auto units = ListServiceUnits(&error);
  if (!units) return FailWith(error);
  std::vector<scm::EnumItem> items;
  for (const Unit& unit : *units) {
    const SERVICE_STATUS status = StatusOf(unit.active_state);
    if (!scm::PassesStateFilter(service_state, status.dwCurrentState)) continue;
    items.push_back({unit.id, unit.description, status});
  }
  return scm::PackEnumEntries(items, services, buffer_size, bytes_needed, services_returned,
                              resume_handle);
}

BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD buffer_size,
                         DWORD* bytes_needed) {
  auto data = scm::CheckHandle(service, false, SERVICE_QUERY_CONFIG);
  if (!data) return FALSE;
  if (bytes_needed == nullptr) return FailWith(ERROR_INVALID_ADDRESS);
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  scm::ServiceConfig record;
  record.name = data->name;
  record.display_name = details->description.empty() ? data->name : details->description;
  record.binary_path = JoinCommandLine(details->exec_start);
  record.account = details->user.empty() ? "LocalSystem" : ".\\" + details->user;
  const std::string& file_state = details->unit_file_state;
  record.start_type = file_state.starts_with("enabled") ? SERVICE_AUTO_START
                      : file_state.starts_with("masked") ? SERVICE_DISABLED
                                                         : SERVICE_DEMAND_START;
  return scm::PackServiceConfig(record, config, buffer_size, bytes_needed);
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, void* info) {
  auto data = scm::CheckHandle(service, false, SERVICE_CHANGE_CONFIG);
  if (!data) return FALSE;
  if (info_level != SERVICE_CONFIG_DESCRIPTION) return FailWith(kErrorInvalidLevel);
  if (info == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  const char* text = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
  if (text == nullptr) return TRUE;  // null leaves the description as it is
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  auto file = OwnUnitFile(*details);
  if (!file) return FailWith(ERROR_ACCESS_DENIED);
  int err = 0;
  auto unit_text = scm::ReadTextFile(*file, &err);
  if (!unit_text) return scm::FailErrno(err);
  if (int write_err = scm::WriteFileAtomic(*file, WithDescriptionLine(*unit_text, text), true)) {
    return scm::FailErrno(write_err);
  }
  if (DWORD error = ReloadManager()) return FailWith(error);
  return TRUE;
}

BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  auto data = scm::CheckLevelQuery(service, SERVICE_QUERY_CONFIG, info_level,
                                   SERVICE_CONFIG_DESCRIPTION, bytes_needed);
  if (!data) return FALSE;
  auto details = DetailsFor(*data);
  if (!details) return FALSE;
  std::string description;
  if (auto unit_text = scm::ReadTextFile(details->fragment_path)) {
    description = DescriptionLine(*unit_text).value_or("");
  }
  return scm::PackDescription(description, buffer, buffer_size, bytes_needed);
}

}  // namespace platform::systemd
