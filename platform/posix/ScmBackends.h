#pragma once
// The two service-manager backends behind platform/ServiceManager.h and the
// rule that picks one.
//
// - embedded: the daemon-less manager below TARVO_SCM_ROOT (platform/posix/Scm*).
// - systemd: the machine's systemd, reached over D-Bus with sd-bus (loaded on
//   first use) on the control side and through notifications on NOTIFY_SOCKET
//   and SIGTERM on the service side
//   (platform/linux/Systemd*).
//
// Both share the handle table of ScmHandles.h, so CloseServiceHandle is one
// routine for either.

#include "platform/ServiceManager.h"

namespace platform {

namespace embedded {
#include "platform/posix/ScmBackendCalls.inc"
BOOL CloseServiceHandle(SC_HANDLE handle);
}  // namespace embedded

namespace systemd {
#include "platform/posix/ScmBackendCalls.inc"

// Whether this process is the main process of a systemd unit: NOTIFY_SOCKET or
// INVOCATION_ID is set, and SYSTEMD_EXEC_PID (which systemd sets to the pid it
// started) is absent or names this process. The last test keeps programs run
// from a shell inside some other unit (a CI runner, a login session's
// service) from taking the variables they inherited as their own.
bool StartedBySystemd();

// Whether the handle came from systemd::RegisterServiceCtrlHandlerA.
bool OwnsStatusHandle(SERVICE_STATUS_HANDLE handle);
}  // namespace systemd

// The control-side choice: TARVO_SCM_BACKEND=systemd or =embedded when set (tests
// and the odd machine); otherwise systemd when it runs the machine
// (/run/systemd/system exists) and TARVO_SCM_ROOT is not set.
bool UseSystemdManager();

}  // namespace platform
