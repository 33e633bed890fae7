#pragma once
// The service-control glue shared by the agent and the watchdog: the status
// record, the three manual-reset events, the dispatcher thread, the service
// main routine and the control handler.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/ServiceManager.h"
#include "platform/Sync.h"
#include "platform/SystemInfo.h"

namespace common {

struct ServiceGlueState {
  platform::SERVICE_STATUS ServiceStatus{};
  platform::SERVICE_STATUS_HANDLE StatusHandle = nullptr;
  std::unique_ptr<platform::ManualResetEvent> StopEvent;         // releases ServiceMain
  std::unique_ptr<platform::ManualResetEvent> StopPendingEvent;  // a stop was asked for
  std::unique_ptr<platform::ManualResetEvent> StartEvent;        // ServiceMain registered
  std::string ServiceNameAnsi;
  bool RunningAsService = false;
  std::thread DispatcherThread;
};

ServiceGlueState& TheServiceGlue();

// Called by the dispatcher on its own thread: registers the control handler,
// reports start pending, signals StartEvent and waits for StopEvent.
void ServiceMain(platform::DWORD argc, char** argv);

// Stop and shutdown report stop pending and signal StopPendingEvent; any other
// control repeats the current status.
void ServiceControlHandler(platform::DWORD control);

// Makes state the current state unless it is 0, then reports the whole status.
void ReportStatus(platform::DWORD state);

// Always true here: the supported system family.
bool IsWindowsNT();

// Creates the three events, logging each step at level 5 with the prefix
// ("" for the agent, "WatchDog - " for the watchdog).
void CreateServiceEvents(std::string_view log_prefix);

// Starts the dispatcher thread for ServiceNameAnsi and waits until it ends or
// StartEvent is signalled. Returns RunningAsService. Logs its steps with the
// prefix, and "This program must be started as a service." when the process
// was not started by the service manager.
bool StartDispatcherThread(std::string_view log_prefix);

// Signals StopEvent and waits for the dispatcher thread to end.
void StopDispatcherThread();

// Closes the three events.
void CloseServiceEvents();

// The single-instance check of a service program: the exclusive lock on the
// file lock_name in the program folder, where an existing file the account may
// only read will do. When another process holds it, logs "Ja existe uma
// instancia carregada ! " (level 1). When the file cannot be opened at all (a
// service run for a typed account in a folder it may not write to, before the
// file exists), logs the path and the cause instead (level 1) and writes them
// to the event log under event_source as well, since such a program may not be
// able to write its log file either. Nothing in both cases.
std::optional<platform::InstanceLock> AcquireInstanceLock(std::string_view lock_name,
                                                          std::string_view log_prefix,
                                                          const char* event_source);

// What sets one service program apart from the other in RunService.
struct ServiceProgram {
  std::string_view LogPrefix;       // put before every log line
  std::string ServiceName;          // the name given to the dispatcher
  const char* EventSource = "";     // the program's name in the event log
  const char* StartedEntry = "";    // event-log text once running
  const char* StoppedEntry = "";    // event-log text once stopped
  std::function<void()> MainLoop;   // runs until StopPendingEvent is set
};

// The service life after the single-instance check: checks the system,
// creates the events, registers with the service manager, and when started as
// a service reports running, runs the main loop, releases the instance lock
// and reports stopped (stopped must mean that a new start succeeds), then
// ends the dispatcher. Closes the events in all cases.
void RunService(const ServiceProgram& program, std::optional<platform::InstanceLock>& instance);

}  // namespace common
