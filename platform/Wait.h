#pragma once
// How the platform layer waits. A program that serves others while it waits
// (the agent answers its clients) installs its own wait; every blocking step of
// the layer that may take long goes through it on that program's thread: the
// wait for a child's output and end, the reading of a drive's size, and the
// walk of every process, which yields between its steps.

#include <chrono>
#include <functional>
#include <optional>

namespace platform {

using WaitDeadline = std::optional<std::chrono::steady_clock::time_point>;

// Waits until fd is readable or the deadline has come (no deadline: none), or
// earlier; callers look again after each return. A descriptor of -1 waits for
// the deadline alone.
using WaitHook = std::function<void(int fd, const WaitDeadline& deadline)>;

// Installs the wait for the calling thread's blocking steps; an empty hook
// brings back the plain poll. Other threads always poll. Returns the former.
WaitHook SetWaitHook(WaitHook hook);

// Waits as described for WaitHook, through the installed wait on its thread.
void WaitReadable(int fd, const WaitDeadline& deadline);

// Called by long work between its steps: about once a millisecond at most, the
// installed wait looks at whatever is ready, without waiting.
void YieldPoint();

}  // namespace platform
