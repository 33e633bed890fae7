// EXECREQUIRESTLS against the running agent service, with a client that is
// genuinely remote: a test host in a network namespace of its own, joined to
// this machine by a veth pair (root and iproute2 needed; skipped otherwise).

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/TlsAgent.h"
#include "tests/support/AgentClient.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace e2e {
namespace {

using testsupport::ProgramResult;
using testsupport::RunProgram;

std::string IpProgram() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

// A test host: a network namespace joined to this machine by a veth pair,
// with link-local addresses, so that nothing it sends leaves the link. Both
// go when the object goes.
class TestHost {
 public:
  TestHost()
      : ip_(IpProgram()),
        name_("tarvo-e2e-" + std::to_string(getpid())),
        link_("tve" + std::to_string(getpid())) {
    // A /30 of its own per test process, so that runs side by side do not meet.
    const int pid = getpid();
    const std::string net =
        "169.254." + std::to_string(1 + (pid / 64) % 254) + ".";
    const int base = (pid % 64) * 4;
    local_address_ = net + std::to_string(base + 1);
    address_ = net + std::to_string(base + 2);
    if (geteuid() != 0 || ip_.empty()) return;
    const std::vector<std::vector<std::string>> steps = {
        {"netns", "add", name_},
        {"link", "add", link_ + "a", "type", "veth", "peer", "name", link_ + "b", "netns", name_},
        {"address", "add", local_address_ + "/30", "dev", link_ + "a"},
        {"link", "set", link_ + "a", "up"},
        {"-n", name_, "address", "add", address_ + "/30", "dev", link_ + "b"},
        {"-n", name_, "link", "set", link_ + "b", "up"},
        {"-n", name_, "link", "set", "lo", "up"},
    };
    for (const auto& step : steps) {
      std::vector<std::string> argv{ip_};
      argv.insert(argv.end(), step.begin(), step.end());
      const ProgramResult result = RunProgram(argv);
      if (result.exit_code != 0) {
        problem_ = "ip " + step[0] + " " + step[1] + ": " + result.output;
        return;
      }
    }
    ready_ = true;
  }
  ~TestHost() {
    RunProgram({ip_, "link", "del", link_ + "a"});
    RunProgram({ip_, "netns", "del", name_});
  }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // Why the host could not be made; empty when it was.
  std::string Problem() const {
    if (geteuid() != 0) return "needs root";
    if (ip_.empty()) return "needs iproute2";
    return problem_;
  }
  bool ready() const { return ready_; }
  // The host's own address, and this machine's address on the link.
  const std::string& address() const { return address_; }
  const std::string& local_address() const { return local_address_; }

  // Runs a program on the host.
  ProgramResult Run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{ip_, "netns", "exec", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  }

 private:
  std::string ip_;
  std::string name_;
  std::string link_;
  std::string local_address_;
  std::string address_;
  std::string problem_;
  bool ready_ = false;
};

TEST(TlsRemoteClient, ExecRequiresTlsHoldsBackARemoteClearTextClientAndServesVerifiedTls) {
  TestHost host;
  if (!host.ready()) GTEST_SKIP() << "no test host: " << host.Problem();
  TlsAgent agent;
  AgentInstall& install = agent.install();
  // The agent's certificate names its address on the link, for tarvo-get's check.
  agent.pki().ca.Issue("server-link", {.common_name = "localhost",
                                       .names = {"localhost", "127.0.0.1", host.local_address()}});
  const std::string ran = install.Path("ran");
  std::filesystem::create_directories(install.Path("Tasks"));
  testsupport::WriteAll(install.Path("Tasks/mark.sh"), "echo \"$1\" >> " + ran + "\necho marked\n");
  chmod(install.Path("Tasks/mark.sh").c_str(), 0755);
  ASSERT_TRUE(agent.Start({"TLSCERT=server-link.pem", "TLSKEY=server-link.key", "LISTEN=0.0.0.0",
                           "RRDTOOL=FALSE", "LOGLEVEL=1", "ALLOWREMOTEEXEC=True",
                           "REMOTECLIENTS=127.0.0.1;" + host.address(), "EXECREQUIRESTLS=True"}))
      << install.Log();

  const auto get = [&](const std::vector<std::string>& options, int port, const char* request) {
    std::vector<std::string> argv{TARVO_GET_BINARY, "-s", host.local_address(), "-p",
                                  std::to_string(port), "-t", "30"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(request);
    return host.Run(argv);
  };
  // The remote clear-text client: its EXEC does nothing, as with remote
  // execution off, and one line says why; the words that run nothing answer.
  const ProgramResult clear = get({}, agent.port(), "EXEC MARK.SH CLEAR");
  EXPECT_EQ(clear.exit_code, 0) << clear.output;
  EXPECT_EQ(clear.output, "");
  EXPECT_NE(get({}, agent.port(), "PING").output.find(" PONG "), std::string::npos);
  EXPECT_NE(install.Log().find(" EXEC from " + host.address() +
                               " ignored: EXECREQUIRESTLS needs TLS with a verified client "
                               "certificate\r\n"),
            std::string::npos)
      << install.Log();

  // The same EXEC over TLS with a verified certificate, from the same host, runs.
  const testsupport::IssuedCertificate& client = agent.pki().client;
  const ProgramResult tls =
      get({"--tls", "--ca", agent.pki().ca.files().certificate_file, "--cert",
           client.certificate_file, "--key", client.key_file},
          agent.tls_port(), "EXEC MARK.SH TLS");
  EXPECT_EQ(tls.exit_code, 0) << tls.output;
  EXPECT_EQ(tls.output, "marked\n");

  // A client on this machine runs it in clear text.
  EXPECT_EQ(testsupport::AgentRequest(agent.port(), "EXEC MARK.SH LOCAL\n"), "marked\n");
  EXPECT_EQ(testsupport::ReadAll(ran), "TLS\nLOCAL\n");
}

}  // namespace
}  // namespace e2e
