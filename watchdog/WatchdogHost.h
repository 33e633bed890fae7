#pragma once
// The watchdog service: its start-up routine and the loop that keeps the agent
// service running. The clock, the pauses and the three operations on the
// watched service come in through WatchdogHooks, so the loop's schedule can be
// driven without waiting.

#include <ctime>
#include <functional>
#include <string>

namespace watchdog {

inline constexpr const char* kWatchdogServiceName = "Tarvo WatchDog Service";
inline constexpr const char* kWatchedServiceName = "Tarvo Agent Service";

// Seconds that must be exceeded between two preventive restarts.
inline constexpr std::time_t kPreventiveRestartSeconds = 900;
// The pauses of one turn, in milliseconds.
inline constexpr int kPauseBeforeQueryMs = 2000;
inline constexpr int kPauseAfterStartMs = 500;
inline constexpr int kPauseAfterTurnMs = 8000;
inline constexpr int kStopWaitMs = 130;

struct WatchdogHooks {
  std::function<std::time_t()> Now;          // local date and time, whole seconds
  std::function<void(int ms)> Sleep;         // a plain pause
  std::function<std::string()> QueryWatched; // status sentence of the agent service
  std::function<void()> StartWatched;        // start without arguments, no waiting
  std::function<void()> StopWatched;         // stop control, no waiting
};

// The real clock, real pauses and the service-manager calls on the agent
// service of the local machine.
WatchdogHooks RealWatchdogHooks();

struct WatchdogState {
  std::time_t LastPreventiveRestart = 0;
};

// One turn of the loop without its final wait for a stop request: the
// preventive restart when due, the query, and a start when the status text
// holds "Stop" (exact letter case: stopped or stop pending, never "Not Found").
void WatchdogTurn(WatchdogState& state, const WatchdogHooks& hooks);

// The program's whole life: single-instance check, service registration, the
// loop until a stop is asked for, stop. Returns the process exit status.
int WatchdogMain(const WatchdogHooks& hooks);

}  // namespace watchdog
