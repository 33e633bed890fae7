#include "common/ServiceGlue.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace common
