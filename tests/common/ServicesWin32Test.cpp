#include "common/ServicesWin32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/AgentConfig.h"
#include "platform/ServiceManager.h"
#include "tests/support/Processes.h"
#include "tests/support/ScmTestRoot.h"
#include "tests/support/SystemdMock.h"
#include "tests/support/TempFolder.h"

namespace common {
namespace {

using namespace platform;
using testsupport::ReadAll;
using testsupport::WaitUntil;

// A program folder and a service-manager root of their own; every service
// process started by a case is killed by its process id afterwards (ScmTestRoot).
class ServicesWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = TheAgentConfig().LogLevel;
    TheAgentConfig().LogLevel = 4;
  }

  void TearDown() override { TheAgentConfig().LogLevel = saved_level_; }

  void Install(const std::string& name, const std::string& display, const std::string& binary) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service =
        CreateServiceA(manager, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << "error " << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }

  pid_t ProcessId(const std::string& name) const {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (service != nullptr) {
      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof(status), &needed);
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return static_cast<pid_t>(status.dwProcessId);
  }

  bool WaitForSentence(const std::string& name, const std::string& sentence) const {
    return WaitUntil([&] { return QueryService(name, "") == sentence; });
  }

  std::string Log() const { return ReadAll(home_.Path("TarvoAgent.log")); }

  testsupport::TempFolder home_;
  testsupport::ScopedEnv program_folder_{"TARVO_HOME", home_.path()};
  testsupport::ScmTestRoot manager_root_;
  int32_t saved_level_ = 0;
};

TEST_F(ServicesWin32Test, QueryServiceOfAnUnknownNameReadsNotFoundAndTracesEachStep) {
  EXPECT_EQ(QueryService("NOSUCHSERVICE", ""), "Service Not Found");
  EXPECT_EQ(Log(),
            "QueryService: (inicio) NOSUCHSERVICE\r\n"
            "QueryService: (introducao) NOSUCHSERVICE\r\n"
            "QueryService: (desenvolvimento) NOSUCHSERVICE\r\n"
            "QueryService: (fim) NOSUCHSERVICE\r\n");
}

TEST_F(ServicesWin32Test, QueryServiceMatchesTheNameIgnoringLetterCase) {
  Install("Idle Probe", "Idle Probe", "/bin/true");
  EXPECT_EQ(QueryService("IDLE PROBE", ""), "Service Is Stopped");
  EXPECT_EQ(QueryService("idle probe", ""), "Service Is Stopped");
}

TEST_F(ServicesWin32Test, StartReturnsAtOnceAndAProgramThatNeverRegistersReadsStartPending) {
  Install("sleeper", "Sleeper", "/bin/sleep 600");
  StartNamedService("SLEEPER", "");
  EXPECT_EQ(QueryService("SLEEPER", ""), "Service Start Pending");
  EXPECT_GT(ProcessId("sleeper"), 0);
}

#ifdef TARVO_TEST_SERVICE_BINARY
TEST_F(ServicesWin32Test, StartAndStopSteerARealServiceByItsUpperCaseName) {
  Install("tarvo_test_one", "Tarvo Test One", TARVO_TEST_SERVICE_BINARY);
  StartNamedService("TARVO_TEST_ONE", "");
  ASSERT_TRUE(WaitForSentence("TARVO_TEST_ONE", "Service Is Running"));
  StartNamedService("TARVO_TEST_ONE", "");  // already running: no change
  EXPECT_EQ(QueryService("TARVO_TEST_ONE", ""), "Service Is Running");

  const pid_t pid = ProcessId("tarvo_test_one");
  StopNamedService("TARVO_TEST_ONE", "");
  EXPECT_TRUE(WaitForSentence("TARVO_TEST_ONE", "Service Is Stopped"));
  EXPECT_TRUE(WaitUntil([pid] { return !testsupport::ProcessAlive(pid); }));
}

TEST_F(ServicesWin32Test, ListServicesTextGivesOneLinePerServiceWithItsShortState) {
  Install("beta", "Beta Display", "/bin/true");
  Install("alpha", "Alpha Display", TARVO_TEST_SERVICE_BINARY);
  StartNamedService("ALPHA", "");
  ASSERT_TRUE(WaitForSentence("ALPHA", "Service Is Running"));
  EXPECT_EQ(ListServicesText(),
            "Alpha Display | alpha | running\r\n"
            "Beta Display | beta | stopped\r\n");
}
#endif

TEST_F(ServicesWin32Test, ListServicesTextFitsManyServicesIntoItsBuffer) {
  // The buffer is sized in 36-byte units while each entry takes 48 bytes here;
  // long names make the strings outweigh the fixed part.
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    const std::string name = "svc" + std::to_string(1000 + i);
    Install(name, std::string(200, 'd') + name, "/bin/true");
  }
  const std::string text = ListServicesText();
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kCount));
  EXPECT_NE(text.find(std::string(200, 'd') + "svc1299 | svc1299 | stopped\r\n"),
            std::string::npos);
  EXPECT_EQ(Log(), "");
}

TEST_F(ServicesWin32Test, ListServicesTextWithNothingInstalledIsEmptyWithOneAlertLine) {
  EXPECT_EQ(ListServicesText(), "");
  EXPECT_EQ(Log(), "ERROR_MORE_DATA not returned; error 0\r\n");
}

}  // namespace
}  // namespace common

namespace common {
namespace {

// The watchdog's query and start sequence and the service list, with systemd
// (a mock of its manager) as the service manager.
TEST(ServicesWin32OnSystemd, ListsQueriesStartsAndStopsTheMachinesUnits) {
  testsupport::SystemdMock mock({{"tarvo-agent.service", "Tarvo Agent Service", "inactive", "enabled"},
                                 {"cron.service", "cron daemon", "active", "enabled"}});
  ASSERT_TRUE(mock.ready());
  EXPECT_EQ(ListServicesText(),
            "cron daemon | cron.service | running\r\n"
            "Tarvo Agent Service | tarvo-agent.service | stopped\r\n");
  EXPECT_EQ(QueryService("Tarvo Agent Service", ""), "Service Is Stopped");
  StartNamedService("TARVO AGENT SERVICE", "");
  EXPECT_EQ(QueryService("Tarvo Agent Service", ""), "Service Is Running");
  StopNamedService("tarvo-agent", "");
  EXPECT_EQ(QueryService("tarvo-agent.service", ""), "Service Is Stopped");
}

}  // namespace
}  // namespace common
