// The agent started the way systemd starts a Type=notify unit: NOTIFY_SOCKET
// names a datagram socket that this test owns, and SIGTERM asks for the stop.

#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"
#include "tests/support/SystemdMock.h"

namespace e2e {
namespace {

using testsupport::ReadAll;

// Variables a test run may inherit from the unit it runs in (a CI runner).
const std::vector<std::string> kInheritedSystemd = {"NOTIFY_SOCKET", "INVOCATION_ID",
                                                    "SYSTEMD_EXEC_PID", "TARVO_SCM_SERVICE",
                                                    "TARVO_HOME"};

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }

  // Reads messages until one holds `wanted`; every message read is kept.
  bool WaitFor(const std::string& wanted) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      pollfd fds{fd_, POLLIN, 0};
      if (poll(&fds, 1, 200) <= 0) continue;
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      messages_.emplace_back(buffer, n);
      if (messages_.back().find(wanted) != std::string::npos) return true;
    }
    return false;
  }
  const std::vector<std::string>& messages() const { return messages_; }
  // How many messages wait in the socket, without waiting for more.
  size_t Queued() const {
    size_t count = 0;
    char buffer[4096];
    while (recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) ++count;
    return count;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> messages_;
};

bool WaitForExit(pid_t pid, int* status) {
  return testsupport::WaitUntil([&] { return waitpid(pid, status, WNOHANG) == pid; },
                                std::chrono::seconds(30));
}

TEST(AgentUnderSystemd, ReportsReadyStopsOnSigtermAndEnds) {
  AgentInstall install;
  install.WriteConfig({"LOGLEVEL=5", "RRDTOOL=FALSE", "PERIODOBASE=0"});
  NotifySocket notify(install.Path("notify"));
  ASSERT_TRUE(notify.bound());

  const pid_t pid = testsupport::StartProgram(
      {install.agent_binary()}, {{"NOTIFY_SOCKET", install.Path("notify")}}, kInheritedSystemd);
  ASSERT_GT(pid, 0);
  const bool ready = notify.WaitFor("READY=1");
  if (!ready) testsupport::KillProcess(pid);
  ASSERT_TRUE(ready) << install.Log();
  EXPECT_EQ(notify.messages().front(), "STATUS=start pending");
  EXPECT_EQ(notify.messages().back(), "READY=1\nSTATUS=running");

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1"));
  int status = 0;
  const bool ended = WaitForExit(pid, &status);
  if (!ended) testsupport::KillProcess(pid);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(notify.WaitFor("STATUS=stopped"));

  const std::string log = install.Log();
  EXPECT_NE(log.find("Serviço iniciado !"), std::string::npos) << log;
  EXPECT_NE(log.find("Parando serviço... "), std::string::npos) << log;
  EXPECT_EQ(log.find("This program must be started as a service."), std::string::npos);
}

// A program run from a shell inside some unit inherits that unit's variables;
// it is not the unit's main process and must not act as a service.
TEST(AgentUnderSystemd, InheritedUnitVariablesDoNotMakeAService) {
  AgentInstall install;
  install.WriteConfig({"LOGLEVEL=5"});
  NotifySocket notify(install.Path("notify"));
  ASSERT_TRUE(notify.bound());
  const pid_t pid = testsupport::StartProgram({install.agent_binary()},
                                              {{"NOTIFY_SOCKET", install.Path("notify")},
                                               {"INVOCATION_ID", "0123456789abcdef"},
                                               {"SYSTEMD_EXEC_PID", std::to_string(getpid())}},
                                              kInheritedSystemd);
  ASSERT_GT(pid, 0);
  int status = 0;
  const bool ended = WaitForExit(pid, &status);
  if (!ended) testsupport::KillProcess(pid);
  ASSERT_TRUE(ended);
  EXPECT_NE(install.Log().find("This program must be started as a service."), std::string::npos);
  EXPECT_EQ(notify.Queued(), 0u);
}

// The service commands of an agent on a machine that systemd runs (a mock of
// its manager) see the machine's units.
TEST(AgentUnderSystemd, ServiceCommandsSeeTheMachinesUnits) {
  testsupport::SystemdMock mock({{"tarvo-agent.service", "Tarvo Agent Service", "active", "enabled"},
                                 {"cron.service", "cron daemon", "inactive", "enabled"}});
  ASSERT_TRUE(mock.ready());
  AgentInstall install;
  install.WriteConfig(
      {"RRDTOOL=FALSE", "PERIODOBASE=0", "ALLOWREMOTEEXEC=True", "REMOTECLIENTS=127.0.0.1"});
  NotifySocket notify(install.Path("notify"));
  ASSERT_TRUE(notify.bound());
  auto env = mock.Environment();
  env["NOTIFY_SOCKET"] = install.Path("notify");
  const pid_t pid = testsupport::StartProgram({install.agent_binary()}, env, kInheritedSystemd);
  ASSERT_GT(pid, 0);

  EXPECT_EQ(testsupport::AgentRequest(install.port(), "SERVICE_LIST\n"),
            "cron daemon | cron.service | stopped\r\n"
            "Tarvo Agent Service | tarvo-agent.service | running\r\n");
  EXPECT_EQ(testsupport::AgentRequest(install.port(), "SERVICE_STATUS tarvo-agent\n"),
            "Service Is Running");
  EXPECT_EQ(testsupport::AgentRequest(install.port(), "SERVICE_START cron\n"), "CRON");
  EXPECT_EQ(testsupport::AgentRequest(install.port(), "SERVICE_STATUS cron.service\n"),
            "Service Is Running");

  kill(pid, SIGTERM);
  int status = 0;
  if (!WaitForExit(pid, &status)) testsupport::KillProcess(pid);
}

}  // namespace
}  // namespace e2e
