// The public service-manager calls: each forwards to the backend in force.
//
// Control side: systemd when it runs the machine, the embedded manager
// otherwise (UseSystemdManager). Service side: a process started by the embedded
// manager (TARVO_SCM_SERVICE in its environment) talks to it; one started by
// systemd talks to systemd; any other gets the embedded dispatcher's 1063.
#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

#include "platform/posix/ScmBackends.h"
#include "platform/posix/ScmHandles.h"

namespace platform {

namespace {

bool StartedByEmbeddedManager() {
  const char* service = std::getenv("TARVO_SCM_SERVICE");
  return service != nullptr && *service != '\0';
}

}  // namespace

bool UseSystemdManager() {
  if (const char* forced = std::getenv("TARVO_SCM_BACKEND"); forced != nullptr && *forced) {
    return std::string_view(forced) == "systemd";
  }
  const char* root = std::getenv("TARVO_SCM_ROOT");
  if (root != nullptr && *root != '\0') return false;
  struct stat info{};
  return stat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

#define TARVO_SCM_FORWARD(call, ...) \
  (UseSystemdManager() ? systemd::call(__VA_ARGS__) : embedded::call(__VA_ARGS__))

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access) {
  return TARVO_SCM_FORWARD(OpenSCManagerA, machine, database, desired_access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* service_name, DWORD desired_access) {
  return TARVO_SCM_FORWARD(OpenServiceA, manager, service_name, desired_access);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* service_name, const char* display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type,
                         DWORD error_control, const char* binary_path, const char* load_order_group,
                         DWORD* tag_id, const char* dependencies, const char* service_start_name,
                         const char* password) {
  return TARVO_SCM_FORWARD(CreateServiceA, manager, service_name, display_name, desired_access,
                           service_type, start_type, error_control, binary_path,
                           load_order_group, tag_id, dependencies, service_start_name, password);
}

BOOL DeleteService(SC_HANDLE service) { return TARVO_SCM_FORWARD(DeleteService, service); }

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
  return TARVO_SCM_FORWARD(StartServiceA, service, argc, argv);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  return TARVO_SCM_FORWARD(ControlService, service, control, status);
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  return TARVO_SCM_FORWARD(QueryServiceStatus, service, status);
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  return TARVO_SCM_FORWARD(QueryServiceStatusEx, service, info_level, buffer, buffer_size,
                           bytes_needed);
}

BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD service_type, DWORD service_state,
                         ENUM_SERVICE_STATUSA* services, DWORD buffer_size, DWORD* bytes_needed,
                         DWORD* services_returned, DWORD* resume_handle) {
  return TARVO_SCM_FORWARD(EnumServicesStatusA, manager, service_type, service_state, services,
                           buffer_size, bytes_needed, services_returned, resume_handle);
}

BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD buffer_size,
                         DWORD* bytes_needed) {
  return TARVO_SCM_FORWARD(QueryServiceConfigA, service, config, buffer_size, bytes_needed);
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, void* info) {
  return TARVO_SCM_FORWARD(ChangeServiceConfig2A, service, info_level, info);
}

BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed) {
  return TARVO_SCM_FORWARD(QueryServiceConfig2A, service, info_level, buffer, buffer_size,
                           bytes_needed);
}

#undef TARVO_SCM_FORWARD

// Both backends keep their handles in one table.
BOOL CloseServiceHandle(SC_HANDLE handle) { return embedded::CloseServiceHandle(handle); }

std::string ServiceNameOf(SC_HANDLE service) {
  auto data = scm::CheckHandle(service, false, 0);
  return data ? data->name : std::string();
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (!StartedByEmbeddedManager() && systemd::StartedBySystemd()) {
    return systemd::StartServiceCtrlDispatcherA(table);
  }
  return embedded::StartServiceCtrlDispatcherA(table);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* service_name,
                                                  LPHANDLER_FUNCTION handler) {
  if (!StartedByEmbeddedManager() && systemd::StartedBySystemd()) {
    return systemd::RegisterServiceCtrlHandlerA(service_name, handler);
  }
  return embedded::RegisterServiceCtrlHandlerA(service_name, handler);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  if (systemd::OwnsStatusHandle(handle)) return systemd::SetServiceStatus(handle, status);
  return embedded::SetServiceStatus(handle, status);
}

}  // namespace platform
