#pragma once
// Service control manager with the Win32 call shapes the services, the service
// commands, the watchdog and the installer are written against.
//
// Two backends (platform/posix/ScmBackends.h): systemd over D-Bus where it runs
// the machine and TARVO_SCM_ROOT is not set, and otherwise an embedded manager
// without a daemon. The embedded manager's state lives below a root folder
// (TARVO_SCM_ROOT, default /var/lib/tarvo/scm): one record per installed
// service and one status record per started service. Services are started as
// detached processes; a control reaches the service's registered handler over a
// Unix socket owned by the service's dispatcher thread. With either backend,
// names are matched ignoring letter case and errors are reported through
// GetLastError with the codes Windows uses (1056, 1060, 1062, 1063, 1073, ...).

#include <string>

#include "platform/WinTypes.h"

namespace platform {

// Service types, start types, error control.
inline constexpr DWORD SERVICE_KERNEL_DRIVER = 0x1;
inline constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x2;
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr DWORD SERVICE_WIN32 = 0x30;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;
inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// Enumeration state filter.
inline constexpr DWORD SERVICE_ACTIVE = 1;
inline constexpr DWORD SERVICE_INACTIVE = 2;
inline constexpr DWORD SERVICE_STATE_ALL = 3;

// Current states.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// Controls and accepted-control bits.
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr DWORD SERVICE_ACCEPT_NETBINDCHANGE = 0x10;

// Access rights.
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;

inline constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;
inline constexpr DWORD SC_STATUS_PROCESS_INFO = 0;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
static_assert(sizeof(SERVICE_STATUS) == 28);

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);

struct ENUM_SERVICE_STATUSA {
  char* lpServiceName;
  char* lpDisplayName;
  SERVICE_STATUS ServiceStatus;
};

struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  char* lpBinaryPathName;
  char* lpLoadOrderGroup;
  DWORD dwTagId;
  char* lpDependencies;
  char* lpServiceStartName;
  char* lpDisplayName;
};

struct SERVICE_DESCRIPTIONA {
  char* lpDescription;
};

struct ScHandleData;
using SC_HANDLE = ScHandleData*;
struct ServiceStatusHandleData;
using SERVICE_STATUS_HANDLE = ServiceStatusHandleData*;

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
  const char* lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// ---- control side -------------------------------------------------------

// machine: null or empty for the local machine (any other name fails with 1722
// is not needed here: only the local machine exists, so it is accepted).
// database: null, "ServicesActive" or "" (others fail with 1065).
SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD desired_access);
// Fails with 1060 when no service of that name (any letter case) is installed.
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* service_name, DWORD desired_access);
// binary_path: the program and its arguments, split by the Windows command-line
// rules when started. start_name: account (null or "LocalSystem" = root).
// Fails with 1073 when the name is taken.
SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* service_name, const char* display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type,
                         DWORD error_control, const char* binary_path,
                         const char* load_order_group, DWORD* tag_id,
                         const char* dependencies, const char* service_start_name,
                         const char* password);
BOOL DeleteService(SC_HANDLE service);
// Starts the service's program as a detached process (new session, standard
// streams on /dev/null) and marks it start pending. Fails with 1056 when running.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv);
// Sends a control to the running service's handler and fills status with the
// status that follows. Fails with 1062 when the service is not running.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed);
BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD service_type, DWORD service_state,
                         ENUM_SERVICE_STATUSA* services, DWORD buffer_size, DWORD* bytes_needed,
                         DWORD* services_returned, DWORD* resume_handle);
BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD buffer_size,
                         DWORD* bytes_needed);
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, void* info);
// Reads optional configuration; level SERVICE_CONFIG_DESCRIPTION fills a
// SERVICE_DESCRIPTIONA followed by its text (lpDescription null when the service
// has none). Fails with 122 and *bytes_needed when the buffer is too small.
BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD info_level, BYTE* buffer, DWORD buffer_size,
                          DWORD* bytes_needed);
BOOL CloseServiceHandle(SC_HANDLE handle);
// The name the service of an open service handle is installed under: on
// systemd the unit id that the name it was opened by (a display name, an id
// without ".service") resolved to. Empty for any other handle.
std::string ServiceNameOf(SC_HANDLE service);

// ---- service side -------------------------------------------------------

// Runs the dispatcher on the calling thread until the service has reported the
// stopped state and its main routine has returned. Fails at once with 1063 when
// the process was not started by the service manager.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* service_name,
                                                  LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

// ---- embedded manager -----------------------------------------------------

// The root folder of the embedded manager's state (TARVO_SCM_ROOT or the default).
std::string ServiceManagerRoot();

}  // namespace platform
