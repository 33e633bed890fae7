#pragma once
// Housekeeping of the task records at the end of every sampling pass.

namespace agent {

// Moves finished task records from Tasks/Queue to Tasks/Done. Never fails.
void CleanTaskFiles();

}  // namespace agent
