#pragma once
// First-start preparation of the Tasks folders and the sample task.

#include <string>

namespace common {

// The sample task's bytes (Tasks/hello.sh).
std::string SampleTaskText();

// Creates Tasks, Tasks/Queue and Tasks/Done below the program folder when
// missing and writes Tasks/hello.sh, replacing any former file. A step that
// fails is skipped.
void PrepareTaskFolders();

}  // namespace common
