#include "common/ScaledSleep.h"

#include <thread>
#include <utility>

namespace common {
namespace {

PauseHook& InstalledHook() {
  static PauseHook hook;
  return hook;
}

}  // namespace

int32_t& SleepMultiplier() {
  static int32_t multiplier = 0;
  return multiplier;
}

PauseHook SetPauseHook(PauseHook hook) {
  return std::exchange(InstalledHook(), std::move(hook));
}

void ScaledSleep(int32_t units) {
  const std::chrono::milliseconds pause(static_cast<int64_t>(units) * SleepMultiplier());
  if (pause.count() <= 0) return;
  if (const PauseHook& hook = InstalledHook()) {
    hook(pause);
  } else {
    std::this_thread::sleep_for(pause);
  }
}

}  // namespace common
