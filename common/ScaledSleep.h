#pragma once
// The pause that paces the agent's single thread: n units of SleepMultiplier
// milliseconds.

#include <cstdint>

namespace common {

// PeriodBase / 1000 rounded ties to even; 0 (no pause) until set.
int32_t& SleepMultiplier();

// Blocks the calling thread for n x SleepMultiplier() milliseconds.
void ScaledSleep(int32_t units);

}  // namespace common
