#pragma once
// A root folder for the embedded service manager in a temporary folder, made
// the manager's root (TARVO_SCM_ROOT) for the life of the object. When it goes,
// every process that a status record below it names is killed by its process
// id, so no test leaves a service running, whatever its outcome.

#include <dirent.h>

#include <string>

#include "platform/linux/ProcessProbe.h"
#include "platform/posix/ScmStore.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace testsupport {

// Kills every live process a status record below the manager's root names
// (matching its start time, so a reused process id is left alone).
inline void KillServicesUnder(const std::string& root) {
  std::string status_folder = root + "/status";
  DIR* dir = opendir(status_folder.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string text = ReadAll(status_folder + "/" + entry->d_name + "/status");
    auto record = platform::scm::ParseStatus(text);
    if (record && platform::ProcessIsAlive(record->pid, record->start_time)) {
      KillProcess(record->pid);
    }
  }
  closedir(dir);
}

class ScmTestRoot {
 public:
  ScmTestRoot() : env_("TARVO_SCM_ROOT", folder_.Path("scm")) {}
  ~ScmTestRoot() { KillServices(); }
  ScmTestRoot(const ScmTestRoot&) = delete;
  ScmTestRoot& operator=(const ScmTestRoot&) = delete;

  // The manager's root (below the temporary folder; created on first write).
  std::string root() const { return folder_.Path("scm"); }
  // A path in the temporary folder, outside the root.
  std::string Path(const std::string& relative) const { return folder_.Path(relative); }
  const std::string& folder() const { return folder_.path(); }

  // Kills every live process a status record below the root names.
  void KillServices() const { KillServicesUnder(root()); }

 private:
  TempFolder folder_;
  ScopedEnv env_;
};

}  // namespace testsupport
