#include "common/ScaledSleep.h"

#include <chrono>
#include <thread>

namespace common {

int32_t& SleepMultiplier() {
  static int32_t multiplier = 0;
  return multiplier;
}

void ScaledSleep(int32_t units) {
  const int64_t ms = static_cast<int64_t>(units) * SleepMultiplier();
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace common
