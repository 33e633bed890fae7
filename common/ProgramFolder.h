#pragma once
// The program folder: where the running program lies, and with it the
// configuration, the log, the Tasks folders and the RRD files.

#include <string>
#include <string_view>

namespace common {

// TARVO_HOME when set, otherwise the folder of the running executable. No
// trailing slash.
std::string ProgramFolder();

// The folder of the running executable, whatever TARVO_HOME says: where the
// programs installed beside it lie (TARVO_HOME moves only the data files).
std::string ExecutableFolder();

// ProgramFolder() + "/" + relative.
std::string ProgramPath(std::string_view relative);

}  // namespace common
