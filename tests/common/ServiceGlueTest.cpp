#include "common/ServiceGlue.h"

#include <gtest/gtest.h>

#include "common/AgentConfig.h"
#include "tests/support/TempFolder.h"

namespace common {
namespace {

class ServiceGlueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateServiceEvents("");
    TheServiceGlue().ServiceStatus.dwCurrentState = platform::SERVICE_RUNNING;
  }
  void TearDown() override { CloseServiceEvents(); }

  testsupport::TempFolder home_;
  testsupport::ScopedEnv env_{"TARVO_HOME", home_.path()};
};

TEST_F(ServiceGlueTest, StopAndShutdownReportStopPendingAndSignalTheLoop) {
  for (platform::DWORD control : {platform::SERVICE_CONTROL_STOP, platform::SERVICE_CONTROL_SHUTDOWN}) {
    TheServiceGlue().ServiceStatus.dwCurrentState = platform::SERVICE_RUNNING;
    TheServiceGlue().StopPendingEvent->Reset();
    ServiceControlHandler(control);
    EXPECT_EQ(TheServiceGlue().ServiceStatus.dwCurrentState, platform::SERVICE_STOP_PENDING);
    EXPECT_TRUE(TheServiceGlue().StopPendingEvent->IsSet());
  }
}

TEST_F(ServiceGlueTest, OtherControlsOnlyRepeatTheStatus) {
  for (platform::DWORD control : {platform::SERVICE_CONTROL_INTERROGATE,
                                  platform::SERVICE_CONTROL_PAUSE, platform::DWORD{7}}) {
    ServiceControlHandler(control);
    EXPECT_EQ(TheServiceGlue().ServiceStatus.dwCurrentState, platform::SERVICE_RUNNING);
    EXPECT_FALSE(TheServiceGlue().StopPendingEvent->IsSet());
  }
}

TEST_F(ServiceGlueTest, ReportStatusKeepsTheStateForZero) {
  ReportStatus(platform::SERVICE_START_PENDING);
  EXPECT_EQ(TheServiceGlue().ServiceStatus.dwCurrentState, platform::SERVICE_START_PENDING);
  ReportStatus(0);
  EXPECT_EQ(TheServiceGlue().ServiceStatus.dwCurrentState, platform::SERVICE_START_PENDING);
}

TEST_F(ServiceGlueTest, OutsideTheServiceManagerTheDispatcherEndsAndIsReported) {
  TheServiceGlue().ServiceNameAnsi = "Glue Test Service";
  EXPECT_FALSE(StartDispatcherThread(""));
  EXPECT_FALSE(TheServiceGlue().RunningAsService);
  EXPECT_FALSE(TheServiceGlue().DispatcherThread.joinable());
}

TEST_F(ServiceGlueTest, OutsideTheServiceManagerRunServiceSkipsTheLoopAndKeepsTheLock) {
  std::optional<platform::InstanceLock> instance =
      platform::InstanceLock::Acquire(home_.Path("glue.lock"));
  ASSERT_TRUE(instance);
  bool looped = false;
  RunService({.LogPrefix = "Glue - ",
              .ServiceName = "Glue Test Service",
              .MainLoop = [&looped] { looped = true; }},
             instance);
  EXPECT_FALSE(looped);
  EXPECT_TRUE(instance);
  EXPECT_EQ(TheServiceGlue().StopEvent, nullptr);
  EXPECT_EQ(TheServiceGlue().StopPendingEvent, nullptr);
}

TEST(AcquireInstanceLock, TellsAnotherInstanceFromALockFileThatCannotBeOpened) {
  testsupport::TempFolder home;
  testsupport::ScopedEnv env("TARVO_HOME", home.path());
  AgentConfig& config = TheAgentConfig();
  const int32_t saved_level = config.LogLevel;
  config.LogLevel = 1;
  auto first = AcquireInstanceLock("glue.lock", "Glue - ", "GlueTest");
  EXPECT_TRUE(first);
  EXPECT_FALSE(AcquireInstanceLock("glue.lock", "Glue - ", "GlueTest"));
  // A lock file that cannot be made (here: its folder is missing; for a typed
  // account, a folder it may not write to) is no other instance.
  EXPECT_FALSE(AcquireInstanceLock("missing/glue.lock", "Glue - ", "GlueTest"));
  config.LogLevel = saved_level;
  const std::string log = testsupport::ReadAll(home.Path("TarvoAgent.log"));
  const size_t second_line = log.find("\r\n") + 2;
  EXPECT_EQ(log.rfind("Glue - Ja existe uma instancia carregada ! ", 0), 0u) << log;
  EXPECT_EQ(log.find("Glue - Cannot open the instance lock " + home.Path("missing/glue.lock") +
                         ": No such file or directory ",
                     second_line),
            second_line)
      << log;
}

}  // namespace
}  // namespace common
