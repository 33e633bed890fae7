#pragma once
// The state a service-side dispatcher shares with the service's threads, and
// the checks of RegisterServiceCtrlHandlerA and SetServiceStatus, the same for
// the embedded manager's dispatcher and systemd's.

#include <mutex>

#include "platform/ServiceManager.h"

namespace platform::scm {

struct DispatcherCore {
  std::mutex mutex;
  bool active = false;  // StartServiceCtrlDispatcherA is running
  LPHANDLER_FUNCTION handler = nullptr;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  bool main_returned = false;
  int wake_write = -1;  // the dispatcher loop's wake-up pipe

  // Wakes the dispatcher loop.
  void Wake() const;
  // Whether ServiceMain has returned and the service has reported stopped.
  bool Finished();
  // RegisterServiceCtrlHandlerA: keeps the handler while the dispatcher runs
  // and wakes its loop; false with 87 (no handler) or 1083 (no dispatcher).
  bool Register(LPHANDLER_FUNCTION new_handler);
  // SetServiceStatus, with `mutex` held: keeps the reported status; false with
  // 6 (not this dispatcher's handle, or none running), 487 or 13 (no such state).
  bool Accept(bool own_handle, const SERVICE_STATUS* reported);
};

}  // namespace platform::scm
