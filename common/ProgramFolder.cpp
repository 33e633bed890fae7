#include "common/ProgramFolder.h"

#include <cstdlib>

#include "platform/SystemInfo.h"

namespace common {
namespace {

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string ProgramFolder() {
  if (const char* home = std::getenv("TARVO_HOME"); home != nullptr && *home != '\0') {
    return StripTrailingSlashes(home);
  }
  return ExecutableFolder();
}

std::string ExecutableFolder() {
  // The executable does not move while the program runs: read its path once.
  static const std::string folder = [] {
    const std::string exe = platform::ExecutablePath();
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return std::string(".");
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
  }();
  return folder;
}

std::string ProgramPath(std::string_view relative) {
  std::string path = ProgramFolder();
  if (path != "/") path += '/';
  path += relative;
  return path;
}

}  // namespace common
