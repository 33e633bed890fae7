// The installed-service side of the service manager, without starting any
// program: handles and rights, create/open/delete, configuration, enumeration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "tests/support/ScmTestRoot.h"

namespace platform {
namespace {

class ScmConfigTest : public ::testing::Test {
 protected:
  ScmConfigTest() : manager_(OpenSCManagerA(nullptr, "ServicesActive", SC_MANAGER_ALL_ACCESS)) {}
  ~ScmConfigTest() override {
    for (SC_HANDLE handle : handles_) CloseServiceHandle(handle);
    CloseServiceHandle(manager_);
  }

  SC_HANDLE Create(const char* name, const char* display = nullptr,
                   DWORD start = SERVICE_DEMAND_START, const char* account = nullptr) {
    SC_HANDLE handle = CreateServiceA(
        manager_, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
        SERVICE_ERROR_NORMAL, "/bin/true --flag", nullptr, nullptr, nullptr, account, "secret");
    if (handle != nullptr) handles_.push_back(handle);
    return handle;
  }

  SC_HANDLE Open(const char* name, DWORD access = SERVICE_ALL_ACCESS) {
    SC_HANDLE handle = OpenServiceA(manager_, name, access);
    if (handle != nullptr) handles_.push_back(handle);
    return handle;
  }

  testsupport::ScmTestRoot scm_;
  SC_HANDLE manager_;
  std::vector<SC_HANDLE> handles_;
};

TEST_F(ScmConfigTest, NamesMatchIgnoringLetterCase) {
  ASSERT_NE(Create("Alpha Service"), nullptr);
  EXPECT_EQ(Create("ALPHA SERVICE"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_NE(Open("alpha service"), nullptr);
  EXPECT_EQ(Open("Beta"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ScmConfigTest, DeletedServiceCannotBeOpenedAgain) {
  SC_HANDLE service = Create("Gone");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(DeleteService(service));
  EXPECT_EQ(Open("GONE"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_NE(Create("gone"), nullptr);  // the name is free again
}

TEST_F(ScmConfigTest, RefusesInvalidNamesAndParameters) {
  EXPECT_EQ(Create(""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(Create("a/b"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(Create("Boot", nullptr, SERVICE_BOOT_START), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ScmConfigTest, QueryServiceConfigReportsTheSizeThenTheRecord) {
  ASSERT_NE(Create("Cfg", "Config Display", SERVICE_AUTO_START), nullptr);
  SC_HANDLE service = Open("CFG", SERVICE_QUERY_CONFIG);
  ASSERT_NE(service, nullptr);

  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigA(service, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
  std::vector<unsigned char> buffer(needed, 0xEE);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  DWORD again = 0;
  EXPECT_FALSE(QueryServiceConfigA(service, config, needed - 1, &again));
  EXPECT_EQ(again, needed);
  EXPECT_EQ(buffer[0], 0xEE);  // nothing written

  ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &again));
  EXPECT_EQ(config->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
  EXPECT_EQ(config->dwErrorControl, SERVICE_ERROR_NORMAL);
  EXPECT_STREQ(config->lpBinaryPathName, "/bin/true --flag");
  EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
  EXPECT_STREQ(config->lpDisplayName, "Config Display");
  EXPECT_STREQ(config->lpLoadOrderGroup, "");
  // Every string lies inside the caller's buffer.
  for (const char* text : {config->lpBinaryPathName, config->lpServiceStartName,
                           config->lpDisplayName, config->lpDependencies}) {
    EXPECT_GE(reinterpret_cast<const unsigned char*>(text), buffer.data() + sizeof *config);
    EXPECT_LT(reinterpret_cast<const unsigned char*>(text), buffer.data() + needed);
  }
}

TEST_F(ScmConfigTest, KeepsAccountAndDescription) {
  SC_HANDLE service = Create("Desc", nullptr, SERVICE_DEMAND_START, ".\\nobody");
  ASSERT_NE(service, nullptr);
  char text[] = "Tarvo...\nsecond line";
  SERVICE_DESCRIPTIONA info{text};
  ASSERT_TRUE(ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info));

  SC_HANDLE reader = Open("desc", SERVICE_QUERY_CONFIG);
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfig2A(reader, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(
      QueryServiceConfig2A(reader, SERVICE_CONFIG_DESCRIPTION, buffer.data(), needed, &needed));
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription, text);

  std::vector<unsigned char> config_buffer(1024);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config_buffer.data());
  ASSERT_TRUE(QueryServiceConfigA(reader, config, 1024, &needed));
  EXPECT_STREQ(config->lpServiceStartName, ".\\nobody");
  EXPECT_STREQ(config->lpDisplayName, "Desc");  // no display name: the service name
}

TEST_F(ScmConfigTest, RefusesUnknownAccountsAndQuotesAProgramPathWithBlanks) {
  // Any domain names the local user; an unknown user makes nothing.
  EXPECT_NE(Create("Domain", nullptr, SERVICE_DEMAND_START, "CORP\\nobody"), nullptr);
  EXPECT_EQ(Create("Nobody Here", nullptr, SERVICE_DEMAND_START, ".\\no-such-user-tarvo"),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);
  EXPECT_EQ(OpenServiceA(manager_, "Nobody Here", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(Create("No Name", nullptr, SERVICE_DEMAND_START, ".\\"), nullptr);  // never root
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);

  const std::string folder = scm_.Path("with blank");
  ASSERT_TRUE(std::filesystem::create_directories(folder));
  const std::string program = folder + "/program";
  testsupport::WriteAll(program, "");
  SC_HANDLE service =
      CreateServiceA(manager_, "Blank", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr,
                     nullptr, nullptr, nullptr);
  ASSERT_NE(service, nullptr);
  handles_.push_back(service);
  std::vector<unsigned char> buffer(1024);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigA(service, config, 1024, &needed));
  EXPECT_EQ(std::string(config->lpBinaryPathName), "\"" + program + "\"");
}

TEST_F(ScmConfigTest, HandlesCarryTheirRights) {
  ASSERT_NE(Create("Rights"), nullptr);
  SC_HANDLE config_only = Open("Rights", SERVICE_QUERY_CONFIG);
  SERVICE_STATUS status{};
  EXPECT_FALSE(QueryServiceStatus(config_only, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(StartServiceA(config_only, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ControlService(config_only, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteService(config_only));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  SC_HANDLE generic = Open("Rights", GENERIC_READ);
  EXPECT_TRUE(QueryServiceStatus(generic, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);

  SC_HANDLE connect_only = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_EQ(CreateServiceA(connect_only, "X", nullptr, SERVICE_ALL_ACCESS, 16, 3, 1, "/bin/true",
                           nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseServiceHandle(connect_only);

  EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(manager_), &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SC_HANDLE closed = OpenServiceA(manager_, "Rights", SERVICE_ALL_ACCESS);
  EXPECT_TRUE(CloseServiceHandle(closed));
  EXPECT_FALSE(CloseServiceHandle(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_EQ(OpenSCManagerA(nullptr, "ServicesFailed", SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DATABASE_DOES_NOT_EXIST);
}

TEST_F(ScmConfigTest, NeverStartedServiceIsStoppedAndTakesNoControls) {
  SC_HANDLE service = Create("Idle");
  BYTE buffer[sizeof(SERVICE_STATUS_PROCESS)];
  DWORD needed = 0;
  ASSERT_TRUE(
      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, buffer, sizeof buffer, &needed));
  SERVICE_STATUS_PROCESS process;
  std::memcpy(&process, buffer, sizeof process);
  EXPECT_EQ(process.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(process.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(process.dwProcessId, 0u);

  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(ControlService(service, 99, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ENUM_SERVICE_STATUSA entries as a 64-bit build lays them out.
size_t EntrySize(const char* name, const char* display) {
  return sizeof(ENUM_SERVICE_STATUSA) + std::strlen(name) + 1 + std::strlen(display) + 1;
}

TEST_F(ScmConfigTest, EnumerationProbesThenListsSortedByName) {
  ASSERT_NE(Create("beta", "Second"), nullptr);
  ASSERT_NE(Create("Alpha", "First"), nullptr);
  ASSERT_NE(Create("gamma", "Third"), nullptr);
  DWORD needed = 0, returned = 7, resume = 0;
  EXPECT_FALSE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                   &returned, &resume));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(returned, 0u);
  size_t total =
      EntrySize("Alpha", "First") + EntrySize("beta", "Second") + EntrySize("gamma", "Third");
  EXPECT_EQ(needed, total);

  std::vector<unsigned char> buffer(needed);
  auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data());
  ASSERT_TRUE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, entries, needed,
                                  &needed, &returned, &resume));
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(resume, 0u);
  ASSERT_EQ(returned, 3u);
  const char* names[] = {"Alpha", "beta", "gamma"};
  const char* displays[] = {"First", "Second", "Third"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(entries[i].lpServiceName, names[i]);
    EXPECT_STREQ(entries[i].lpDisplayName, displays[i]);
    EXPECT_EQ(entries[i].ServiceStatus.dwCurrentState, SERVICE_STOPPED);
    EXPECT_GE(reinterpret_cast<unsigned char*>(entries[i].lpServiceName),
              buffer.data() + 3 * sizeof(ENUM_SERVICE_STATUSA));
  }
}

TEST_F(ScmConfigTest, EnumerationResumesAfterAPartialBuffer) {
  ASSERT_NE(Create("one"), nullptr);
  ASSERT_NE(Create("two"), nullptr);
  std::vector<unsigned char> buffer(EntrySize("one", "one") + 10);
  auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data());
  DWORD needed = 0, returned = 0, resume = 0;
  EXPECT_FALSE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, entries,
                                   static_cast<DWORD>(buffer.size()), &needed, &returned, &resume));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  ASSERT_EQ(returned, 1u);
  EXPECT_STREQ(entries[0].lpServiceName, "one");
  EXPECT_EQ(needed, EntrySize("two", "two"));
  EXPECT_EQ(resume, 1u);
  ASSERT_TRUE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, entries,
                                  static_cast<DWORD>(buffer.size()), &needed, &returned, &resume));
  ASSERT_EQ(returned, 1u);
  EXPECT_STREQ(entries[0].lpServiceName, "two");
  EXPECT_EQ(resume, 0u);
}

TEST_F(ScmConfigTest, EnumerationRefusesBadFiltersAndMissingRights) {
  ASSERT_NE(Create("one"), nullptr);
  DWORD needed = 5, returned = 5;
  EXPECT_FALSE(
      EnumServicesStatusA(manager_, 0, SERVICE_STATE_ALL, nullptr, 0, &needed, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(needed, 0u);
  EXPECT_FALSE(
      EnumServicesStatusA(manager_, SERVICE_WIN32, 0, nullptr, 0, &needed, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Only stopped services exist, so the active ones are none.
  EXPECT_TRUE(EnumServicesStatusA(manager_, SERVICE_WIN32, SERVICE_ACTIVE, nullptr, 0, &needed,
                                  &returned, nullptr));
  EXPECT_EQ(returned, 0u);

  SC_HANDLE connect_only = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_FALSE(EnumServicesStatusA(connect_only, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0,
                                   &needed, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseServiceHandle(connect_only);
}

TEST(StartServiceCtrlDispatcherA, FailsWith1063OutsideTheManager) {
  testsupport::ScmTestRoot scm;
  SERVICE_TABLE_ENTRYA table[] = {{"X", [](DWORD, char**) {}}, {nullptr, nullptr}};
  unsetenv("TARVO_SCM_SERVICE");
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  // The variable alone does not make a service: no status record names this process.
  testsupport::ScopedEnv service("TARVO_SCM_SERVICE", "X");
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandlerA("X", [](DWORD) {}), nullptr);
}

}  // namespace
}  // namespace platform
