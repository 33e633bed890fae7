#pragma once
// The service-control glue shared by the agent and the watchdog: the status
// record, the three manual-reset events, the dispatcher thread, the service
// main routine and the control handler.

#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/ServiceManager.h"
#include "platform/Sync.h"

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

}  // namespace common
