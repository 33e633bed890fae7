// The service-manager calls on systemd, against a mock of systemd's manager on
// a private system bus.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ServiceManager.h"
#include "tests/support/SystemdMock.h"
#include "tests/support/TempFolder.h"

namespace platform {
namespace {

using testsupport::MockUnit;

const std::vector<MockUnit> kUnits = {
    {"tarvo-agent.service", "Tarvo Agent Service", "active", "enabled"},
    {"cron.service", "Regular background program processing daemon", "inactive", "enabled"},
    {"dbus.socket", "D-Bus System Message Bus Socket", "active", "enabled"},
    // As packaged: installed disabled, so systemd has not loaded it.
    {"tarvo-watchdog.service", "Tarvo WatchDog Service", "inactive", "disabled", false},
    {"ssh.service", "OpenBSD Secure Shell server", "active", "enabled", true, {"sshd.service"}},
};

class SystemdManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mock_.ready());
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    if (manager_ != nullptr) CloseServiceHandle(manager_);
  }

  DWORD State(const char* name) {
    SC_HANDLE service = OpenServiceA(manager_, name, SERVICE_QUERY_STATUS);
    if (service == nullptr) return 0;
    SERVICE_STATUS status{};
    const BOOL ok = QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    return ok ? status.dwCurrentState : 0;
  }

  testsupport::SystemdMock mock_{kUnits};
  SC_HANDLE manager_ = nullptr;
};

TEST_F(SystemdManager, EnumeratesServiceUnitsWithTheirStates) {
  DWORD needed = 0;
  DWORD returned = 0;
  DWORD resume = 0;
  EXPECT_FALSE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0,
                                   &needed, &returned, &resume));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  ASSERT_GT(needed, 0u);
  std::vector<ENUM_SERVICE_STATUSA> buffer(needed / sizeof(ENUM_SERVICE_STATUSA) + 1);
  ASSERT_TRUE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                                  buffer.size() * sizeof(ENUM_SERVICE_STATUSA), &needed,
                                  &returned, &resume));
  // The socket unit is not a service, and an alias is no service of its own.
  ASSERT_EQ(returned, 4u);
  EXPECT_STREQ(buffer[0].lpServiceName, "cron.service");
  EXPECT_EQ(buffer[0].ServiceStatus.dwCurrentState, SERVICE_STOPPED);
  EXPECT_STREQ(buffer[1].lpServiceName, "ssh.service");
  EXPECT_STREQ(buffer[2].lpServiceName, "tarvo-agent.service");
  EXPECT_STREQ(buffer[2].lpDisplayName, "Tarvo Agent Service");
  EXPECT_EQ(buffer[2].ServiceStatus.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(buffer[2].ServiceStatus.dwControlsAccepted,
            SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  // A unit file systemd has not loaded shows the description its file gives.
  EXPECT_STREQ(buffer[3].lpServiceName, "tarvo-watchdog.service");
  EXPECT_STREQ(buffer[3].lpDisplayName, "Tarvo WatchDog Service");
  EXPECT_EQ(buffer[3].ServiceStatus.dwCurrentState, SERVICE_STOPPED);
}

TEST_F(SystemdManager, FindsUnitsByIdWithOrWithoutSuffixOrByDescription) {
  const auto unit_for = [&](const char* name) {
    SC_HANDLE service = OpenServiceA(manager_, name, SERVICE_QUERY_STATUS);
    const std::string id = ServiceNameOf(service);
    CloseServiceHandle(service);
    return id;
  };
  EXPECT_EQ(unit_for("tarvo-agent.service"), "tarvo-agent.service");
  EXPECT_EQ(unit_for("tarvo-agent"), "tarvo-agent.service");
  EXPECT_EQ(unit_for("TARVO-AGENT.SERVICE"), "tarvo-agent.service");
  EXPECT_EQ(unit_for("TARVO AGENT SERVICE"), "tarvo-agent.service");
  EXPECT_EQ(unit_for("CRON"), "cron.service");
  EXPECT_EQ(State("CRON"), SERVICE_STOPPED);
  EXPECT_EQ(State("TARVO AGENT SERVICE"), SERVICE_RUNNING);
  // An alias finds the unit it names.
  EXPECT_EQ(unit_for("sshd"), "ssh.service");
  EXPECT_EQ(State("sshd.service"), SERVICE_RUNNING);
  // A unit file not loaded yet is found by the description in its file.
  EXPECT_EQ(unit_for("tarvo watchdog service"), "tarvo-watchdog.service");
  EXPECT_EQ(State("Tarvo WatchDog Service"), SERVICE_STOPPED);

  for (const char* missing : {"no such service", "nothing", "nothing.service"}) {
    EXPECT_EQ(OpenServiceA(manager_, missing, SERVICE_QUERY_STATUS), nullptr) << missing;
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST) << missing;
  }
}

TEST_F(SystemdManager, StartsAndStopsWithTheWindowsErrorCodes) {
  SC_HANDLE cron = OpenServiceA(manager_, "cron", SERVICE_ALL_ACCESS);
  ASSERT_NE(cron, nullptr);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(cron, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_TRUE(StartServiceA(cron, 0, nullptr));
  EXPECT_EQ(State("cron"), SERVICE_RUNNING);
  EXPECT_FALSE(StartServiceA(cron, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_FALSE(ControlService(cron, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);

  ASSERT_TRUE(ControlService(cron, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(State("cron"), SERVICE_STOPPED);
  CloseServiceHandle(cron);

  SC_HANDLE query_only = OpenServiceA(manager_, "cron", SERVICE_QUERY_STATUS);
  EXPECT_FALSE(StartServiceA(query_only, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseServiceHandle(query_only);
}

TEST_F(SystemdManager, CreatesEnablesDescribesAndDeletesAUnitFile) {
  // The packaged watchdog unit is there, though not loaded: no second one.
  EXPECT_EQ(CreateServiceA(manager_, "Tarvo WatchDog Service", "Tarvo WatchDog Service",
                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                           SERVICE_ERROR_NORMAL, "/usr/lib/tarvo/TarvoWDService", nullptr,
                           nullptr, nullptr, "LocalSystem", nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_TRUE(std::filesystem::is_empty(mock_.unit_dir()));

  SC_HANDLE created = CreateServiceA(
      manager_, "Tarvo Probe Service", "Tarvo Probe Service", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
      "/usr/lib/tarvo/Tarvo$Probe --cost $5", nullptr, nullptr, nullptr, "LocalSystem", nullptr);
  ASSERT_NE(created, nullptr) << GetLastError();
  const std::string file = mock_.unit_dir() + "/tarvo-probe-service.service";
  EXPECT_TRUE(std::filesystem::is_regular_file(file));
  // The program path as systemd reads it; only the argument expands variables.
  EXPECT_NE(testsupport::ReadAll(file).find("ExecStart=/usr/lib/tarvo/Tarvo$Probe --cost $$5\n"),
            std::string::npos);
  EXPECT_EQ(CreateServiceA(manager_, "tarvo probe service", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  // A program path systemd refuses to run makes no unit.
  EXPECT_EQ(CreateServiceA(manager_, "Quoted", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           "/opt/it\\s", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // An account naming no user is refused, never run as root; no file is left.
  EXPECT_EQ(CreateServiceA(manager_, "No Account", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           "/bin/true", nullptr, nullptr, nullptr, "CORP\\", nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);
  EXPECT_FALSE(std::filesystem::exists(mock_.unit_dir() + "/no-account.service"));

  char description_text[] = "Tarvo...";
  SERVICE_DESCRIPTIONA description{description_text};
  ASSERT_TRUE(ChangeServiceConfig2A(created, SERVICE_CONFIG_DESCRIPTION, &description));
  alignas(8) BYTE description_buffer[256];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfig2A(created, SERVICE_CONFIG_DESCRIPTION, description_buffer,
                                   sizeof description_buffer, &needed));
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONA*>(description_buffer)->lpDescription,
               "Tarvo...");

  alignas(8) BYTE config_buffer[1024];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config_buffer);
  ASSERT_TRUE(QueryServiceConfigA(created, config, sizeof config_buffer, &needed));
  EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
  EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
  EXPECT_STREQ(config->lpDisplayName, "Tarvo Probe Service");

  ASSERT_TRUE(DeleteService(created));
  CloseServiceHandle(created);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(OpenServiceA(manager_, "Tarvo Probe Service", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  // Units that came with a package are not this manager's to remove.
  SC_HANDLE packaged = OpenServiceA(manager_, "cron", SERVICE_ALL_ACCESS);
  EXPECT_FALSE(DeleteService(packaged));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseServiceHandle(packaged);
}

}  // namespace
}  // namespace platform
