#include "platform/SystemInfo.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"

namespace platform {
namespace {

constexpr uid_t kNobody = 65534;

// Runs the check in a child process under another account and returns its exit
// code (0: every expectation held; n: the n-th failed).
int RunAs(uid_t uid, int (*check)(const std::string&), const std::string& folder) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(100);
    _exit(check(folder));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// In a folder the account may not write to: the existing lock file is opened
// for reading and locked; a second holder is refused; a missing file is an
// access failure, not another instance.
int CheckLocksWithoutWriteAccess(const std::string& folder) {
  int error = -1;
  const auto lock = InstanceLock::Acquire(folder + "/service.lock", &error);
  if (!lock || error != 0) return 1;
  if (InstanceLock::Acquire(folder + "/service.lock", &error) || error != EWOULDBLOCK) return 2;
  if (InstanceLock::Acquire(folder + "/missing.lock", &error) || error != EACCES) return 3;
  return 0;
}

TEST(InstanceLock, TakesAReadOnlyFileAndNamesWhyAFileCannotBeOpened) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another account";
  testsupport::TempFolder folder;
  chmod(folder.path().c_str(), 0755);
  testsupport::WriteAll(folder.Path("service.lock"), "");
  chmod(folder.Path("service.lock").c_str(), 0644);
  EXPECT_EQ(RunAs(kNobody, CheckLocksWithoutWriteAccess, folder.path()), 0);
}

}  // namespace
}  // namespace platform
