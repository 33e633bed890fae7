#pragma once
// The pause that paces the agent's single thread: n units of SleepMultiplier
// milliseconds. A program may put its own wait in place of the plain sleep (the
// agent serves its clients while it pauses).

#include <chrono>
#include <cstdint>
#include <functional>

namespace common {

// PeriodBase / 1000 rounded ties to even; 0 (no pause) until set.
int32_t& SleepMultiplier();

// What a pause does in place of sleeping. It is given the length of the pause
// and returns once that time has passed (or earlier when the program is
// stopping).
using PauseHook = std::function<void(std::chrono::milliseconds)>;

// Installs the hook that every later pause goes through; an empty hook brings
// back the plain sleep. Returns the hook it replaces.
PauseHook SetPauseHook(PauseHook hook);

// Pauses the calling thread for n x SleepMultiplier() milliseconds; no pause
// when the product is not positive.
void ScaledSleep(int32_t units);

}  // namespace common
