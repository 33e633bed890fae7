#include "agent/TaskSweep.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "agent/TaskFile.h"
#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

constexpr std::string_view kSweepLabel = " CleanTaskFiles";
// What a move onto a record that Done already holds reports.
constexpr std::string_view kAlreadyThere = "File already exists";

void LogSweepFailure(std::string_view description) {
  common::WriteLog(
      common::GeneralDateTextNow() + std::string(description) + std::string(kSweepLabel), 1);
}

// Renames from to to unless to exists. Returns 0, or the errno of the failure
// (EEXIST when to exists).
int MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system that cannot refuse to replace: look first, then rename.
  if (access(to.c_str(), F_OK) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Moves the queued records to Done in name order and stops at the first that
// cannot be moved. Names in Done are compared ignoring letter case, as on
// Windows, where the move onto a record of the same name fails.
void SweepQueue() {
  const std::string queue = common::ProgramPath(kQueueFolder);
  const std::string done = common::ProgramPath(kDoneFolder);
  std::vector<std::string> queued;
  // A queue folder that cannot be read holds nothing to move.
  if (ListFolderFiles(queue, queued) != 0 || queued.empty()) return;

  std::vector<std::string> swept;
  ListFolderFiles(done, swept);
  std::set<std::string> swept_upper;
  for (const std::string& name : swept) swept_upper.insert(common::ToUpper(name));

  for (const std::string& name : queued) {
    const std::string upper = common::ToUpper(name);
    if (swept_upper.count(upper) != 0) {
      LogSweepFailure(kAlreadyThere);
      return;
    }
    const int error = MoveWithoutReplacing(queue + "/" + name, done + "/" + name);
    if (error != 0) {
      LogSweepFailure(error == EEXIST ? kAlreadyThere : std::string_view(std::strerror(error)));
      return;
    }
    swept_upper.insert(upper);
  }
}

}  // namespace

void CleanTaskFiles() {
  try {
    SweepQueue();
  } catch (const std::exception& error) {
    LogSweepFailure(error.what());
  }
}

}  // namespace agent
