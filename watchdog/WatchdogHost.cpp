#include "watchdog/WatchdogHost.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "common/ServiceGlue.h"
#include "common/ServicesWin32.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/SystemInfo.h"

namespace watchdog {
namespace {

constexpr const char* kProgramName = "TarvoWDService";
constexpr const char* kLogPrefix = "WatchDog - ";

// Logs "WatchDog - ", the text and the current date and time. The watchdog
// loads no configuration, so its threshold stays 0 and only level-0 entries
// would reach the file; every entry here is level 1 or more.
void LogDated(std::string_view text, int16_t level) {
  std::string line(kLogPrefix);
  line += text;
  line += common::GeneralDateTextNow();
  common::WriteLog(line, level);
}

void LogStatus(std::string_view before, const std::string& status, int16_t level) {
  std::string text(before);
  text += status;
  text += ' ';
  LogDated(text, level);
}

}  // namespace

WatchdogHooks RealWatchdogHooks() {
  WatchdogHooks hooks;
  hooks.Now = [] { return std::time(nullptr); };
  hooks.Sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  hooks.QueryWatched = [] { return common::QueryService(kWatchedServiceName, ""); };
  hooks.StartWatched = [] { common::StartNamedService(kWatchedServiceName, ""); };
  hooks.StopWatched = [] { common::StopNamedService(kWatchedServiceName, ""); };
  return hooks;
}

void WatchdogTurn(WatchdogState& state, const WatchdogHooks& hooks) {
  const std::time_t now = hooks.Now();
  if (now - state.LastPreventiveRestart > kPreventiveRestartSeconds) {
    state.LastPreventiveRestart = now;
    LogDated("Reiniciando Serviço Preventivamente ", 2);
    hooks.StopWatched();
  }
  hooks.Sleep(kPauseBeforeQueryMs);
  const std::string status = hooks.QueryWatched();
  LogStatus("", status, 5);
  // "Service Is Stopped" and "Service Stop Pending" match; a start refused
  // while the agent is still stop pending is retried on a later turn.
  if (status.find("Stop") != std::string::npos) {
    hooks.StartWatched();
    hooks.Sleep(kPauseAfterStartMs);
    LogStatus("Iniciando Serviço... ", hooks.QueryWatched(), 2);
  }
  hooks.Sleep(kPauseAfterTurnMs);
}

int WatchdogMain(const WatchdogHooks& hooks) {
  WatchdogState state;
  state.LastPreventiveRestart = hooks.Now();

  std::optional<platform::InstanceLock> instance =
      common::AcquireInstanceLock("TarvoWDService.lock", kLogPrefix, kProgramName);
  if (!instance) return 0;

  const auto main_loop = [&state, &hooks] {
    const platform::ManualResetEvent& stop_pending = *common::TheServiceGlue().StopPendingEvent;
    do {
      WatchdogTurn(state, hooks);
    } while (!stop_pending.Wait(kStopWaitMs));
  };
  common::RunService({.LogPrefix = kLogPrefix,
                      .ServiceName = kWatchdogServiceName,
                      .EventSource = kProgramName,
                      .StartedEntry = "WD Tarvo started",
                      .StoppedEntry = "WD Tarvo stopped",
                      .MainLoop = main_loop},
                     instance);
  return 0;
}

}  // namespace watchdog
