#include "platform/ProcessWatch.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/ChildProcess.h"
#include "tests/support/Processes.h"

namespace platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(WaitForProcessesToEnd, ReturnsOnceDetachedProgramsHaveEnded) {
  std::vector<int> pids;
  for (int i = 0; i < 3; ++i) {
    const std::optional<int> pid = SpawnDetached({"sh", "-c", "exit 0"}, "");
    ASSERT_TRUE(pid.has_value());
    pids.push_back(*pid);
  }
  EXPECT_TRUE(WaitForProcessesToEnd(pids, seconds(20)));
  EXPECT_TRUE(WaitForProcessesToEnd({}, milliseconds(0)));
}

TEST(WaitForProcessesToEnd, GivesUpAtTheLimitAndLeavesTheProcessRunning) {
  const std::optional<int> pid = SpawnDetached({"sleep", "60"}, "");
  ASSERT_TRUE(pid.has_value());
  EXPECT_FALSE(WaitForProcessesToEnd({*pid}, milliseconds(50)));
  EXPECT_TRUE(testsupport::ProcessAlive(*pid));
  kill(*pid, SIGKILL);
  EXPECT_TRUE(WaitForProcessesToEnd({*pid}, seconds(20)));
}

TEST(WaitForProcessesToEnd, CountsAnUnreapedChildAsEnded) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(WaitForProcessesToEnd({child}, seconds(20)));
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  // Reaped and gone: nothing to wait for.
  EXPECT_TRUE(WaitForProcessesToEnd({child}, milliseconds(0)));
}

}  // namespace
}  // namespace platform
