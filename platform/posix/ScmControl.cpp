// The status side of the control calls: QueryServiceStatus, QueryServiceStatusEx,
// ControlService and EnumServicesStatusA. Status comes from the status records,
// checked against /proc so that a service whose process has gone reads stopped.
#include "platform/posix/ScmHandles.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/linux/ScmChannel.h"
#include "platform/posix/ScmPack.h"
#include "platform/posix/ScmStore.h"

namespace platform {

namespace {

constexpr DWORD kServiceDriver = 0x0B;
constexpr DWORD kServicePauseContinue = 0x0040;
constexpr DWORD kServiceUserDefinedControl = 0x0100;
constexpr DWORD kAcceptParamChange = 0x08;

SERVICE_STATUS ToStatus(const SERVICE_STATUS_PROCESS& live) {
  return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS,
                        live.dwCurrentState,
                        live.dwControlsAccepted,
                        live.dwWin32ExitCode,
                        live.dwServiceSpecificExitCode,
                        live.dwCheckPoint,
                        live.dwWaitHint};
}

// The access right a control needs, or 0 for a control ControlService does not
// send (shutdown and the device, power and session events come from the system).
DWORD RightForControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case 6:   // PARAMCHANGE
    case 7:   // NETBINDADD
    case 8:   // NETBINDREMOVE
    case 9:   // NETBINDENABLE
    case 10:  // NETBINDDISABLE
      return kServicePauseContinue;
    default:
      return (control >= 128 && control <= 255) ? kServiceUserDefinedControl : 0;
  }
}

// The dwControlsAccepted bit a control needs; 0 for controls always passed on
// (interrogate and user-defined codes).
DWORD AcceptBitForControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case 6:
      return kAcceptParamChange;
    case 7:
    case 8:
    case 9:
    case 10:
      return SERVICE_ACCEPT_NETBINDCHANGE;
    default:
      return 0;
  }
}

// Fails with error after filling *status with the status in force.
BOOL FailWithStatus(DWORD error, const SERVICE_STATUS_PROCESS& live, SERVICE_STATUS* status) {
  *status = ToStatus(live);
  return scm::Fail(error);
}

}  // namespace

namespace embedded {

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  auto data = scm::CheckHandle(service, false, SERVICE_QUERY_STATUS);
  if (!data) return FALSE;
  if (status == nullptr) return scm::Fail(ERROR_INVALID_ADDRESS);
  *status = ToStatus(scm::LiveStatus(ServiceManagerRoot(), data->name));
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  auto data = scm::CheckLevelQuery(service, SERVICE_QUERY_STATUS, info_level,
                                   SC_STATUS_PROCESS_INFO, bytes_needed);
  if (!data) return FALSE;
  if (buffer == nullptr || buffer_size < sizeof(SERVICE_STATUS_PROCESS)) {
    *bytes_needed = sizeof(SERVICE_STATUS_PROCESS);
    return scm::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  SERVICE_STATUS_PROCESS live = scm::LiveStatus(ServiceManagerRoot(), data->name);
  std::memcpy(buffer, &live, sizeof live);
  *bytes_needed = 0;
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  auto data = scm::CheckHandle(service, false, 0);
  if (!data) return FALSE;
  if (status == nullptr) return scm::Fail(ERROR_INVALID_ADDRESS);
  DWORD right = RightForControl(control);
  if (right == 0) return scm::Fail(ERROR_INVALID_PARAMETER);
  if ((data->access & right) != right) return scm::Fail(ERROR_ACCESS_DENIED);

  std::string root = ServiceManagerRoot();
  SERVICE_STATUS_PROCESS live = scm::LiveStatus(root, data->name);
  DWORD state = live.dwCurrentState;
  if (state == SERVICE_STOPPED) return FailWithStatus(ERROR_SERVICE_NOT_ACTIVE, live, status);
  if ((state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) &&
      control != SERVICE_CONTROL_INTERROGATE) {
    return FailWithStatus(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, live, status);
  }
  DWORD bit = AcceptBitForControl(control);
  if (bit != 0 && (live.dwControlsAccepted & bit) == 0) {
    return FailWithStatus(ERROR_INVALID_SERVICE_CONTROL, live, status);
  }
  auto record = scm::LoadStatus(root, data->name);
  if (!record || static_cast<DWORD>(record->pid) != live.dwProcessId) {
    return FailWithStatus(ERROR_SERVICE_NOT_ACTIVE, scm::LiveStatus(root, data->name), status);
  }

  scm::ControlReply reply;
  switch (scm::SendControl(record->pid, record->start_time, control, scm::ControlReplyTimeout(),
                           &reply)) {
    case scm::SendResult::kReplied:
      *status = reply.status;
      status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      return reply.error == ERROR_SUCCESS ? TRUE : scm::Fail(reply.error);
    case scm::SendResult::kTimedOut:
      return scm::Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    case scm::SendResult::kNoListener:
    case scm::SendResult::kBroken:
      break;
  }
  // No dispatcher answered: the process has ended, or it has not registered yet.
  live = scm::LiveStatus(root, data->name);
  if (live.dwCurrentState == SERVICE_STOPPED) {
    return FailWithStatus(ERROR_SERVICE_NOT_ACTIVE, live, status);
  }
  return FailWithStatus(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, live, status);
}

BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD service_type, DWORD service_state,
                         ENUM_SERVICE_STATUSA* services, DWORD buffer_size, DWORD* bytes_needed,
                         DWORD* services_returned, DWORD* resume_handle) {
  if (!scm::CheckEnumArguments(manager, service_state, bytes_needed, services_returned)) {
    return FALSE;
  }
  if ((service_type & (SERVICE_WIN32 | kServiceDriver)) == 0) {
    return scm::Fail(ERROR_INVALID_PARAMETER);
  }

  std::string root = ServiceManagerRoot();
  std::vector<scm::ServiceConfig> configs = scm::LoadAllConfigs(root);
  std::sort(configs.begin(), configs.end(),
            [](const auto& a, const auto& b) { return scm::NameLess(a.name, b.name); });
  std::vector<scm::EnumItem> items;
  for (const scm::ServiceConfig& config : configs) {
    if ((config.type & service_type) == 0) continue;
    if (scm::IsGone(root, config)) {
      scm::RemoveIfGone(root, config.name);
      continue;
    }
    SERVICE_STATUS status = ToStatus(scm::LiveStatus(root, config.name));
    if (!scm::PassesStateFilter(service_state, status.dwCurrentState)) continue;
    items.push_back({config.name, config.display_name, status});
  }
  return scm::PackEnumEntries(items, services, buffer_size, bytes_needed, services_returned,
                              resume_handle);
}

}  // namespace embedded
}  // namespace platform
