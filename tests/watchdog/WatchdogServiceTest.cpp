// The watchdog run as a service of the embedded service manager beside the
// agent service, watched from outside through tarvo-sc.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"
#include "tests/support/ScmTestRoot.h"

namespace {

using namespace std::chrono_literals;
using e2e::kAgentService;
using testsupport::ProcessAlive;
using testsupport::WaitUntil;

constexpr const char* kWatchdogService = "Tarvo WatchDog Service";

// Kills every service process of the folder's manager by its process id, the
// watchdog with the agent, so neither outlives the test.
class ServicesGuard {
 public:
  explicit ServicesGuard(std::string root) : root_(std::move(root)) {}
  ~ServicesGuard() { testsupport::KillServicesUnder(root_); }

 private:
  std::string root_;
};

TEST(WatchdogService, RestartsTheStoppedAgentRefusesASecondCopyAndStopsWithinATurn) {
  e2e::AgentInstall install;
  ServicesGuard guard(install.Path("scm"));
  install.WriteConfig({"RRDTOOL=FALSE"});
  const pid_t first_agent = install.StartAgentService();
  ASSERT_GT(first_agent, 0);

  const std::string watchdog = install.Path("TarvoWDService");
  std::filesystem::copy_file(TARVO_WATCHDOG_BINARY, watchdog);
  ASSERT_EQ(install.Sc({"create", kWatchdogService, watchdog}).exit_code, 0);
  ASSERT_EQ(install.Sc({"start", kWatchdogService}).exit_code, 0);
  ASSERT_TRUE(install.WaitForState(kWatchdogService, 4));
  const pid_t watchdog_pid = install.Pid(kWatchdogService);

  // A second copy of the program, started as another service, ends at once.
  ASSERT_EQ(install.Sc({"create", "Watchdog Copy", watchdog}).exit_code, 0);
  ASSERT_EQ(install.Sc({"start", "Watchdog Copy"}).exit_code, 0);
  EXPECT_TRUE(install.WaitForState("Watchdog Copy", 1));
  EXPECT_EQ(install.State(kWatchdogService), 4);

  // Stopped by an operator, the agent is started again by the watchdog. A
  // start that meets the old process still holding its lock is retried a turn
  // later, so the deadline allows several turns.
  ASSERT_EQ(install.Sc({"stop", kAgentService}).exit_code, 0);
  EXPECT_TRUE(WaitUntil(
      [&] {
        const pid_t pid = install.Pid(kAgentService);
        return pid > 0 && pid != first_agent && install.State(kAgentService) == 4;
      },
      60s));
  const auto reply = testsupport::AgentRequest(install.port(), "PING\n");
  ASSERT_TRUE(reply.has_value());
  EXPECT_NE(reply->find(" PONG "), std::string::npos) << *reply;

  // A stop request ends the watchdog at the end of its turn; the agent runs on.
  // Stopped means a new start succeeds at once: the old copy has let go of its
  // instance lock by then.
  ASSERT_EQ(install.Sc({"stop", kWatchdogService}).exit_code, 0);
  ASSERT_TRUE(WaitUntil([&] { return install.State(kWatchdogService) == 1; }, 30s));
  ASSERT_EQ(install.Sc({"start", kWatchdogService}).exit_code, 0);
  EXPECT_TRUE(install.WaitForState(kWatchdogService, 4));
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(watchdog_pid); }));
  EXPECT_EQ(install.State(kAgentService), 4);
  EXPECT_EQ(install.Log().find("WatchDog"), std::string::npos) << install.Log();
}

// Run for a typed account in a folder only root may write to, the watchdog
// takes its instance lock on the file an administrator's earlier run left.
TEST(WatchdogService, RunsForATypedAccountWithALockFileItMayOnlyRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a service for another account";
  e2e::AgentInstall install;
  ServicesGuard guard(install.Path("scm"));
  ASSERT_EQ(chmod(install.folder().c_str(), 0755), 0);
  const std::string watchdog = install.Path("TarvoWDService");
  std::filesystem::copy_file(TARVO_WATCHDOG_BINARY, watchdog);
  testsupport::WriteAll(install.Path("TarvoWDService.lock"), "");
  ASSERT_EQ(chmod(install.Path("TarvoWDService.lock").c_str(), 0644), 0);
  ASSERT_EQ(install.Sc({"create", kWatchdogService, watchdog, "--account", ".\\nobody"}).exit_code,
            0);
  ASSERT_EQ(install.Sc({"start", kWatchdogService}).exit_code, 0);
  EXPECT_TRUE(install.WaitForState(kWatchdogService, 4));
  const std::string status =
      testsupport::ReadAll("/proc/" + std::to_string(install.Pid(kWatchdogService)) + "/status");
  EXPECT_NE(status.find("Uid:\t65534\t65534"), std::string::npos) << status;
}

}  // namespace
