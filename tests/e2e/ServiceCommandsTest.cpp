// The service commands and the inventories against the running agent service:
// the agent is installed and started through tarvo-sc, a second service is
// installed beside it for the agent to steer, and the replies are compared
// with what tarvo-sc, dpkg-query and /sys tell.

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"

namespace e2e {
namespace {

using testsupport::AgentRequest;
using testsupport::WaitUntil;

constexpr const char* kSecond = "tarvo_test_second";
constexpr const char* kDpkgQuery = "/usr/bin/dpkg-query";

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, at - start));
    start = at + 2;
  }
  EXPECT_EQ(start, text.size()) << "text does not end with CR LF";
  return lines;
}

// The agent service with a second, stopped service beside it. The second
// service's process is stopped and killed when the case ends.
class ServiceCommandsE2e : public ::testing::Test {
 protected:
  void StartAgent(bool allow_remote_exec) {
    install_.WriteConfig({"RRDTOOL=FALSE", "LOGLEVEL=2",
                          allow_remote_exec ? "ALLOWREMOTEEXEC=True" : "ALLOWREMOTEEXEC=False",
                          "REMOTECLIENTS=127.0.0.1;127.0.0"});
    ASSERT_EQ(
        install_
            .Sc({"create", kSecond, TARVO_TEST_SERVICE_BINARY, "--display", "Tarvo Test Second"})
            .exit_code,
        0);
    ASSERT_GT(install_.StartAgentService(), 0) << install_.Log();
    ASSERT_TRUE(Request("PING\n").has_value()) << "the agent does not answer on its port";
  }

  ~ServiceCommandsE2e() override {
    const pid_t pid = install_.Pid(kSecond);
    if (pid <= 0) return;
    install_.Sc({"stop", kSecond});
    install_.WaitForState(kSecond, 1);
    testsupport::KillProcess(pid);  // only when it is still there
  }

  std::optional<std::string> Request(const std::string& request) {
    return AgentRequest(install_.port(), request);
  }
  std::string Reply(const std::string& request) {
    std::optional<std::string> reply = Request(request);
    EXPECT_TRUE(reply.has_value()) << "no reply to " << request;
    return reply.value_or("<no reply>");
  }
  bool WaitForStatus(const std::string& sentence) {
    return WaitUntil([&] { return Reply("SERVICE_STATUS TARVO_TEST_SECOND\n") == sentence; });
  }

  AgentInstall install_;
};

TEST_F(ServiceCommandsE2e, ListsEveryInstalledServiceWithItsState) {
  StartAgent(false);
  const std::vector<std::string> lines = SplitCrLf(Reply("SERVICE_LIST\n"));
  const std::string query = install_.Sc({"query"}).output;
  size_t installed = 0;
  for (size_t at = query.find("SERVICE_NAME"); at != std::string::npos;
       at = query.find("SERVICE_NAME", at + 1)) {
    ++installed;
  }
  EXPECT_EQ(lines.size(), installed);
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "Tarvo Agent Service | Tarvo Agent Service | running"),
      lines.end());
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "Tarvo Test Second | tarvo_test_second | stopped"),
      lines.end());
}

TEST_F(ServiceCommandsE2e, StatusReadsTheNamedServiceInAnyLetterCase) {
  StartAgent(false);
  ASSERT_EQ(install_.Sc({"start", kSecond}).exit_code, 0);
  ASSERT_TRUE(install_.WaitForState(kSecond, 4));
  EXPECT_EQ(Reply("service_status Tarvo_Test_Second\n"), "Service Is Running");
  EXPECT_EQ(Reply("SERVICE_STATUS NO_SUCH_SERVICE\n"), "Service Not Found");

  const auto failures = [&] {
    const std::string log = install_.Log();
    size_t count = 0;
    for (size_t at = log.find(" ProcessCommand Func "); at != std::string::npos;
         at = log.find(" ProcessCommand Func ", at + 1)) {
      ++count;
    }
    return count;
  };
  const size_t before = failures();
  EXPECT_EQ(Reply("SERVICE_STATUS\n"), "");
  EXPECT_EQ(failures(), before + 1);
}

TEST_F(ServiceCommandsE2e, StartAndStopSteerTheSecondServiceWhenRemoteExecutionIsAllowed) {
  StartAgent(true);
  EXPECT_EQ(Reply("SERVICE_START tarvo_test_second\n"), "TARVO_TEST_SECOND");
  EXPECT_TRUE(WaitForStatus("Service Is Running"));
  EXPECT_EQ(install_.State(kSecond), 4);
  EXPECT_EQ(Reply("SERVICE_STOP tarvo_test_second\n"), "TARVO_TEST_SECOND");
  EXPECT_TRUE(WaitForStatus("Service Is Stopped"));
  EXPECT_EQ(install_.State(kSecond), 1);
}

TEST_F(ServiceCommandsE2e, StartAndStopDoNothingWhenRemoteExecutionIsRefused) {
  StartAgent(false);
  EXPECT_EQ(Reply("SERVICE_START TARVO_TEST_SECOND\n"), "");
  EXPECT_EQ(install_.State(kSecond), 1);

  ASSERT_EQ(install_.Sc({"start", kSecond}).exit_code, 0);
  ASSERT_TRUE(install_.WaitForState(kSecond, 4));
  EXPECT_EQ(Reply("SERVICE_STOP TARVO_TEST_SECOND\n"), "");
  EXPECT_EQ(Reply("SERVICE_STATUS TARVO_TEST_SECOND\n"), "Service Is Running");
}

// Lines "package (version)  ||  maintainer" of the installed packages, as dpkg-query tells.
std::multiset<std::string> InstalledPackageLines() {
  const testsupport::ProgramResult result = testsupport::RunProgram(
      {kDpkgQuery, "-W", "-f=${db:Status-Status}\\t${Package} (${Version})\\t${Maintainer}\\n"});
  std::multiset<std::string> lines;
  std::istringstream in(result.output);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    const size_t second = line.find('\t', tab + 1);
    if (tab == std::string::npos || second == std::string::npos) continue;
    if (line.substr(0, tab) != "installed") continue;
    const std::string maintainer = line.substr(second + 1);
    std::string entry = line.substr(tab + 1, second - tab - 1);
    if (!maintainer.empty()) entry += "  ||  " + maintainer;
    lines.insert(entry);
  }
  return lines;
}

TEST_F(ServiceCommandsE2e, SoftwareInventoryListsEachInstalledPackageOnce) {
  if (testsupport::RunProgram({kDpkgQuery, "--version"}).exit_code != 0) {
    GTEST_SKIP() << "no dpkg on this machine";
  }
  StartAgent(false);
  const std::string first = Reply("SWINV\n");
  const std::vector<std::string> lines = SplitCrLf(first);
  EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), InstalledPackageLines());
  EXPECT_EQ(Reply("SWINV\n"), first);
}

// Classes of /sys/class with a device whose driver is bound.
size_t ClassesWithADriver() {
  size_t count = 0;
  for (const auto& device_class : std::filesystem::directory_iterator("/sys/class")) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(device_class.path(), error)) {
      struct stat info {};
      if (lstat((entry.path() / "device" / "driver").c_str(), &info) == 0) {
        ++count;
        break;
      }
    }
  }
  return count;
}

TEST_F(ServiceCommandsE2e, HardwareInventoryHasOneLinePerClassWithADriver) {
  StartAgent(false);
  const std::vector<std::string> lines = SplitCrLf(Reply("HWINV\n"));
  EXPECT_EQ(lines.size(), ClassesWithADriver());
  for (const std::string& line : lines) EXPECT_NE(line.find("  ||  "), std::string::npos) << line;
}

}  // namespace
}  // namespace e2e
