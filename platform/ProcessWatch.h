#pragma once
// Watching processes that are not the caller's children, such as the programs
// SpawnDetached starts, until they end.

#include <chrono>
#include <vector>

namespace platform {

// Waits until every process of the list has ended (exited, whether or not its
// parent has reaped it yet), for at most limit. A process id that is already
// gone counts as ended. Returns true when all ended in time, false when the
// limit passed first (the processes are left running).
bool WaitForProcessesToEnd(const std::vector<int>& pids, std::chrono::milliseconds limit);

// Whether a process of that id exists and has not ended (a zombie waiting for
// its parent has ended). False for ids below 1.
bool ProcessIsRunning(int pid);

}  // namespace platform
