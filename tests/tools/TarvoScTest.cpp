// tarvo-sc driving real service processes through the embedded manager.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "tests/support/Processes.h"
#include "tests/support/ScmTestRoot.h"
#include "tests/support/SystemdMock.h"

namespace {

using testsupport::ProgramResult;

// The exit status a Windows error code leaves in an 8-bit process status.
int ExitOf(int code) {
  return code & 0xFF;
}

class TarvoScTest : public ::testing::Test {
 protected:
  ProgramResult Sc(std::vector<std::string> args) const {
    args.insert(args.begin(), TARVO_SC_BINARY);
    return testsupport::RunProgram(args);
  }

  std::string Binary(const std::string& options = "") const {
    return std::string("\"") + TARVO_TEST_SERVICE + "\" --log \"" + scm_.Path("log") + "\" " +
           options;
  }

  std::string Query(const std::string& name) const { return Sc({"query", name}).output; }

  bool WaitForState(const std::string& name, const std::string& state) const {
    return testsupport::WaitUntil(
        [&] { return Query(name).find("STATE : " + state + "\n") != std::string::npos; });
  }

  static std::string Field(const std::string& text, const std::string& name) {
    std::smatch match;
    std::regex pattern(name + " : ([^\n]*)\n");
    return std::regex_search(text, match, pattern) ? match[1].str() : "";
  }

  testsupport::ScmTestRoot scm_;
};

TEST_F(TarvoScTest, CreatesStartsStopsAndDeletesAService) {
  ProgramResult created = Sc({"create", "Echo", Binary(), "--display", "Echo Display"});
  EXPECT_EQ(created.exit_code, 0);
  EXPECT_EQ(created.output, "[SC] CreateService SUCCESS\n");
  EXPECT_EQ(Query("ECHO"),
            "SERVICE_NAME: Echo\nDISPLAY_NAME: Echo Display\nSTATE : 1 STOPPED\nPID : 0\n");

  EXPECT_EQ(Sc({"start", "echo"}).exit_code, 0);
  ASSERT_TRUE(WaitForState("Echo", "4 RUNNING"));
  pid_t pid = std::stoi(Field(Query("Echo"), "PID"));
  EXPECT_TRUE(testsupport::ProcessAlive(pid));
  EXPECT_NE(testsupport::ReadAll(scm_.Path("log")).find("launched " + std::to_string(pid)),
            std::string::npos);

  EXPECT_EQ(Sc({"stop", "Echo"}).exit_code, 0);
  ASSERT_TRUE(WaitForState("Echo", "1 STOPPED"));
  EXPECT_EQ(Field(Query("Echo"), "PID"), "0");

  EXPECT_EQ(Sc({"delete", "Echo"}).exit_code, 0);
  ProgramResult gone = Sc({"query", "Echo"});
  EXPECT_EQ(gone.exit_code, ExitOf(1060));
  EXPECT_EQ(gone.output.rfind("[SC] OpenService FAILED 1060: ", 0), 0u) << gone.output;
}

TEST_F(TarvoScTest, FailuresReportTheWindowsCode) {
  ASSERT_EQ(Sc({"create", "Dup", Binary()}).exit_code, 0);
  ProgramResult again = Sc({"create", "DUP", Binary()});
  EXPECT_EQ(again.exit_code, ExitOf(1073));
  EXPECT_NE(again.output.find("[SC] CreateService FAILED 1073: "), std::string::npos);

  ProgramResult stop = Sc({"stop", "dup"});
  EXPECT_EQ(stop.exit_code, ExitOf(1062));
  EXPECT_NE(stop.output.find("[SC] ControlService FAILED 1062: "), std::string::npos);

  ASSERT_EQ(Sc({"start", "Dup"}).exit_code, 0);
  ProgramResult twice = Sc({"start", "Dup"});
  EXPECT_EQ(twice.exit_code, ExitOf(1056));
  EXPECT_NE(twice.output.find("[SC] StartService FAILED 1056: "), std::string::npos);
}

TEST_F(TarvoScTest, QueryOfAMissingServiceFailsWith1060AndOfADeletedOneUntilItStops) {
  ProgramResult missing = Sc({"query", "Nobody Here"});
  EXPECT_EQ(missing.exit_code, ExitOf(1060));
  EXPECT_EQ(missing.output.rfind("[SC] OpenService FAILED 1060: ", 0), 0u) << missing.output;

  ASSERT_EQ(Sc({"create", "Doomed", Binary()}).exit_code, 0);
  ASSERT_EQ(Sc({"start", "Doomed"}).exit_code, 0);
  ASSERT_TRUE(WaitForState("Doomed", "4 RUNNING"));
  EXPECT_EQ(Sc({"delete", "Doomed"}).exit_code, 0);
  ProgramResult again = Sc({"create", "Doomed", Binary()});
  EXPECT_EQ(again.exit_code, ExitOf(1072));
  EXPECT_NE(again.output.find("[SC] CreateService FAILED 1072: "), std::string::npos);
  EXPECT_EQ(Sc({"stop", "Doomed"}).exit_code, 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Sc({"query", "Doomed"}).exit_code != 0; }));
  EXPECT_EQ(Sc({"query", "Doomed"}).exit_code, ExitOf(1060));
  EXPECT_EQ(Sc({"create", "Doomed", Binary()}).exit_code, 0);
}

// On systemd (a mock of its manager), query takes a service by any of the
// names that find it and prints the unit it found.
TEST(TarvoScOnSystemd, QueryResolvesTheOneNameInEachOfItsForms) {
  testsupport::SystemdMock mock(
      {{"tarvo-agent.service", "Tarvo Agent Service", "active", "enabled"},
       {"tarvo-watchdog.service", "Tarvo WatchDog Service", "inactive", "disabled", false},
       {"ssh.service", "OpenBSD Secure Shell server", "active", "enabled", true,
        {"sshd.service"}}});
  ASSERT_TRUE(mock.ready());
  const auto query = [](const std::string& name) {
    return testsupport::RunProgram({TARVO_SC_BINARY, "query", name});
  };
  for (const char* name : {"Tarvo Agent Service", "tarvo-agent", "TARVO-AGENT.service"}) {
    const ProgramResult result = query(name);
    EXPECT_EQ(result.exit_code, 0) << name;
    EXPECT_EQ(result.output,
              "SERVICE_NAME: tarvo-agent.service\nDISPLAY_NAME: Tarvo Agent Service\n"
              "STATE : 4 RUNNING\nPID : 4242\n")
        << name;
  }
  EXPECT_EQ(query("tarvo watchdog service").output,
            "SERVICE_NAME: tarvo-watchdog.service\nDISPLAY_NAME: Tarvo WatchDog Service\n"
            "STATE : 1 STOPPED\nPID : 0\n");
  EXPECT_EQ(query("sshd").output.rfind("SERVICE_NAME: ssh.service\n", 0), 0u);
  const ProgramResult missing = query("Tarvo Nothing");
  EXPECT_EQ(missing.exit_code, ExitOf(1060));
  EXPECT_EQ(missing.output.rfind("[SC] OpenService FAILED 1060: ", 0), 0u) << missing.output;
}

TEST_F(TarvoScTest, QueryListsEveryServiceInNameOrder) {
  ASSERT_EQ(Sc({"create", "beta", Binary()}).exit_code, 0);
  ASSERT_EQ(Sc({"create", "Alpha", Binary(), "--display", "The First"}).exit_code, 0);
  ProgramResult all = Sc({"query"});
  EXPECT_EQ(all.exit_code, 0);
  EXPECT_EQ(all.output,
            "SERVICE_NAME: Alpha\nDISPLAY_NAME: The First\nSTATE : 1 STOPPED\nPID : 0\n\n"
            "SERVICE_NAME: beta\nDISPLAY_NAME: beta\nSTATE : 1 STOPPED\nPID : 0\n");
}

TEST_F(TarvoScTest, CreateOptionsReachTheServiceRecord) {
  ASSERT_EQ(Sc({"create", "Opts", Binary(), "--start", "auto", "--account", ".\\nobody",
                "--description", "Tarvo..."})
                .exit_code,
            0);
  using namespace platform;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, "Opts", SERVICE_QUERY_CONFIG);
  ASSERT_NE(service, nullptr);
  std::vector<unsigned char> buffer(4096);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigA(service, config, 4096, &needed));
  EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
  EXPECT_STREQ(config->lpServiceStartName, ".\\nobody");
  EXPECT_EQ(config->lpBinaryPathName, Binary());
  ASSERT_TRUE(
      QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), 4096, &needed));
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription, "Tarvo...");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST_F(TarvoScTest, BootStartsOnlyAutomaticServices) {
  ASSERT_EQ(Sc({"create", "Auto", Binary(), "--start", "auto"}).exit_code, 0);
  ASSERT_EQ(Sc({"create", "Manual", Binary(), "--start", "demand"}).exit_code, 0);
  ProgramResult boot = Sc({"boot"});
  EXPECT_EQ(boot.exit_code, 0);
  EXPECT_EQ(boot.output, "[SC] StartService SUCCESS: Auto\n");
  EXPECT_TRUE(WaitForState("Auto", "4 RUNNING"));
  EXPECT_NE(Query("Manual").find("STATE : 1 STOPPED\n"), std::string::npos);
  // A running automatic service is left alone.
  ProgramResult again = Sc({"boot"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.output, "");
}

TEST_F(TarvoScTest, BadArgumentsPrintTheUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"frob"},
                                             {"create", "x"},
                                             {"create", "x", "y", "--start", "sometimes"},
                                             {"create", "x", "y", "--display"},
                                             {"query", "a", "b"},
                                             {"stop"},
                                             {"boot", "x"}}) {
    ProgramResult result = Sc(args);
    EXPECT_EQ(result.exit_code, 87) << args.size();
    EXPECT_EQ(result.output.rfind("usage: tarvo-sc", 0), 0u);
  }
}

// Runs tarvo-sc as the user nobody; its exit status and output.
ProgramResult RunAsNobody(const std::vector<std::string>& args) {
  ProgramResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) {
      execv(argv[0], argv.data());
    }
    _exit(127);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

TEST_F(TarvoScTest, OtherUsersCanQueryButNotChangeTheRecords) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(Sc({"create", "Owned", Binary()}).exit_code, 0);
  ASSERT_EQ(chmod(scm_.folder().c_str(), 0755), 0);
  ProgramResult query = RunAsNobody({TARVO_SC_BINARY, "query", "Owned"});
  EXPECT_EQ(query.exit_code, 0) << query.output;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{TARVO_SC_BINARY, "create", "Mine", "/bin/true"},
                                             {TARVO_SC_BINARY, "start", "Owned"},
                                             {TARVO_SC_BINARY, "delete", "Owned"}}) {
    ProgramResult result = RunAsNobody(args);
    EXPECT_EQ(result.exit_code, 5) << args[1];
    EXPECT_NE(result.output.find("FAILED 5: Access is denied."), std::string::npos)
        << result.output;
  }
}

}  // namespace
