// tarvo-get run as a program: against the agent service in clear text, and in
// TLS against a small TLS server that frames replies as the agent does.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsTestServer.h"

namespace {

using testsupport::TempFolder;
using testsupport::TlsTestServer;

const std::regex kPing(
    R"(\d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)? PONG \d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)?)");

struct GetResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

class TarvoGetTest : public ::testing::Test {
 protected:
  // Runs tarvo-get with the arguments, its standard error kept apart.
  GetResult Get(const std::vector<std::string>& args) {
    const std::string err_file = folder_.Path("stderr");
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ERR_FILE\"",
                                  TARVO_GET_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    const testsupport::ProgramResult run = testsupport::RunProgram(argv, {{"ERR_FILE", err_file}});
    return {run.exit_code, run.output, testsupport::ReadAll(err_file)};
  }

  std::string Failure(int port, const std::string& reason) const {
    return "tarvo-get: 127.0.0.1:" + std::to_string(port) + ": " + reason + "\n";
  }

  TempFolder folder_;
};

TEST_F(TarvoGetTest, PrintsTheAgentsRepliesWithoutTheirZeroBytes) {
  e2e::AgentInstall install;
  install.WriteConfig({"RRDTOOL=FALSE"});
  ASSERT_NE(install.StartAgentService(), 0) << install.Log();
  const std::string port = std::to_string(install.port());
  const auto about = testsupport::AgentRequest(install.port(), "ABOUT\n");
  const auto name = testsupport::AgentRequest(install.port(), "COMPUTERNAME\n");
  ASSERT_TRUE(about && name);

  // A request holding QUIT ends its connection itself, with its own reply.
  const GetResult got = Get({"-p", port, "ABOUT", "computername\n", "quit"});
  EXPECT_EQ(got.exit_code, 0) << got.err;
  EXPECT_EQ(got.out, *about + *name);
  EXPECT_EQ(got.err, "");
  const GetResult ping = Get({"-s", "localhost", "-p", port, "PING"});
  EXPECT_TRUE(std::regex_match(ping.out, kPing)) << ping.out << ping.err;

  // TLS spoken to the clear-text port: the agent answers the hello as a
  // request when it holds a line feed, else it waits for one.
  const GetResult tls = Get({"--tls", "-t", "2", "-p", port, "PING"});
  EXPECT_EQ(tls.exit_code, 1);
  EXPECT_TRUE(tls.err == Failure(install.port(), "not TLS (a clear-text server?)") ||
              tls.err == Failure(install.port(), "time-out after 2 s"))
      << tls.err;
}

TEST_F(TarvoGetTest, NamesWhyARequestGotNoReply) {
  const int closed_port = testsupport::FreeTcpPort();
  const GetResult refused = Get({"-p", std::to_string(closed_port), "PING"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, Failure(closed_port, "connection refused"));
  EXPECT_EQ(refused.out, "");

  // A port that takes connections and never answers.
  int silent_port = 0;
  const int silent = testsupport::ListenLoopback(silent_port);
  ASSERT_GE(silent, 0);
  const GetResult waited = Get({"-t", "0.5", "-p", std::to_string(silent_port), "PING"});
  EXPECT_EQ(waited.exit_code, 1);
  EXPECT_EQ(waited.err, Failure(silent_port, "time-out after 0.5 s"));
  close(silent);

  // A peer that answers without end is followed only so far.
  int flood_port = 0;
  const int flooding = testsupport::ListenLoopback(flood_port);
  ASSERT_GE(flooding, 0);
  std::thread flood([flooding] {
    const int client = accept(flooding, nullptr, nullptr);
    if (client < 0) return;
    const std::string chunk = '\0' + std::string(1 << 20, 'x');
    while (send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
    }
    close(client);
  });
  const GetResult flooded = Get({"-p", std::to_string(flood_port), "PING"});
  flood.join();
  close(flooding);
  EXPECT_EQ(flooded.exit_code, 1);
  EXPECT_EQ(flooded.err, Failure(flood_port, "reply larger than 64 MiB"));

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"-p", "9000"},
                                              {"--ca", "ca.pem", "PING"},
                                              {"--tls", "--cert", "client.pem", "PING"},
                                              {"-p", "70000", "PING"},
                                              {"-x", "PING"}}) {
    const GetResult usage = Get(bad);
    EXPECT_EQ(usage.exit_code, 2) << bad[0];
    EXPECT_NE(usage.err.find("usage: tarvo-get"), std::string::npos) << usage.err;
  }
}

class TarvoGetTlsTest : public TarvoGetTest {
 protected:
  TarvoGetTlsTest() {
    common::TlsFileProblem problem;
    context_ = common::TlsContext::ForServer(
        {pki_.server.certificate_file, pki_.server.key_file, pki_.ca.files().certificate_file},
        &problem);
  }

  std::vector<std::string> TlsArgs(const TlsTestServer& server,
                                   const testsupport::IssuedCertificate* identity,
                                   const std::string& authority) const {
    std::vector<std::string> args{"--tls", "-t",     "20", "-p", std::to_string(server.port()),
                                  "--ca",  authority};
    if (identity != nullptr) {
      args.insert(args.end(), {"--cert", identity->certificate_file, "--key", identity->key_file});
    }
    return args;
  }

  static std::string Answer(const std::string& line) {
    return line == "QUIT" ? std::string() : "reply to " + line;
  }

  TempFolder certificates_;
  testsupport::TestPki pki_{certificates_.path()};
  std::unique_ptr<common::TlsContext> context_;
};

TEST_F(TarvoGetTlsTest, SpeaksTlsWithAClientCertificateAndResumesItsSession) {
  ASSERT_NE(context_, nullptr);
  TlsTestServer server(*context_, Answer);
  std::vector<std::string> args = TlsArgs(server, &pki_.client, pki_.ca.files().certificate_file);
  args.insert(args.end(), {"PING", "SECOND"});
  const GetResult got = Get(args);
  EXPECT_EQ(got.exit_code, 0) << got.err;
  EXPECT_EQ(got.out, "reply to PINGreply to SECOND");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return server.Outcomes().size() == 2; }));
  EXPECT_EQ(server.Outcomes()[0], "served tarvo-admin");
  EXPECT_EQ(server.Outcomes()[1], "served tarvo-admin resumed");
}

TEST_F(TarvoGetTlsTest, RefusesAnAgentItCannotTrustAndSaysWhenTheAgentRefusedIt) {
  ASSERT_NE(context_, nullptr);
  TlsTestServer server(*context_, Answer);
  const std::string ca = pki_.ca.files().certificate_file;
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {TlsArgs(server, &pki_.client, pki_.other_ca.files().certificate_file),
       "certificate not trusted (unable to get local issuer certificate)"},
      {TlsArgs(server, nullptr, ca),
       "refused by the agent (alert from the peer: certificate required)"},
      {TlsArgs(server, &pki_.client_expired, ca),
       "refused by the agent (alert from the peer: certificate expired)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("EXEC HELLO.SH");
    const GetResult got = Get(args);
    EXPECT_EQ(got.exit_code, 1) << c.reason;
    EXPECT_EQ(got.err, Failure(server.port(), c.reason));
    EXPECT_EQ(got.out, "");
  }

  // A certificate of the trusted authority for another host.
  const testsupport::IssuedCertificate elsewhere =
      pki_.ca.Issue("elsewhere", {.common_name = "agent", .names = {"agent.example.org"}});
  common::TlsFileProblem problem;
  const auto other_context =
      common::TlsContext::ForServer({elsewhere.certificate_file, elsewhere.key_file, ca}, &problem);
  ASSERT_NE(other_context, nullptr);
  TlsTestServer other_host(*other_context, Answer);
  std::vector<std::string> args = TlsArgs(other_host, &pki_.client, ca);
  args.push_back("PING");
  EXPECT_EQ(Get(args).err,
            Failure(other_host.port(), "certificate not trusted (it does not name the host)"));

  const GetResult missing = Get({"--tls", "--ca", folder_.Path("none.pem"), "PING"});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err, "tarvo-get: --ca file " + folder_.Path("none.pem") + " is missing\n");
}

}  // namespace
