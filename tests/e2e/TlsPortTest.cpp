// The TLS port against the running agent service: openssl s_client gets the
// clear-text port's replies, clients without an accepted certificate are
// refused with one line each, unusable files keep the port closed, and no task
// password sent over TLS reaches the disk.

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <regex>

#include "tests/e2e/TlsAgent.h"
#include "tests/support/AgentClient.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace e2e {
namespace {

using testsupport::AgentRequest;
using testsupport::WriteAll;

// The keys of a RESUMEMON reply, in order: what precedes '=' on each line.
std::vector<std::string> KeysOf(const std::string& record) {
  std::vector<std::string> keys;
  for (size_t start = 0; start < record.size();) {
    size_t end = record.find("\r\n", start);
    if (end == std::string::npos) end = record.size();
    const std::string line = record.substr(start, end - start);
    keys.push_back(line.substr(0, line.find('=')));
    start = end + 2;
  }
  return keys;
}

// A client that sends its request and the end of its session (close_notify)
// in one piece, then reads what the agent sends until the agent ends the
// session too. Returns the application bytes received.
std::string RequestAndEndAtOnce(int port, const testsupport::TestPki& pki,
                                std::string_view request) {
  const BlockingTlsClient client(port, pki);
  SSL* ssl = client.ssl();
  std::string received;
  if (SSL_connect(ssl) != 1) return received;
  // From here on the records are collected and sent in one write.
  BIO* collected = BIO_new(BIO_s_mem());
  SSL_set0_wbio(ssl, collected);
  SSL_write(ssl, request.data(), static_cast<int>(request.size()));
  SSL_shutdown(ssl);
  std::string bytes(static_cast<size_t>(BIO_ctrl_pending(collected)), '\0');
  BIO_read(collected, bytes.data(), static_cast<int>(bytes.size()));
  testsupport::SendAll(client.fd(), bytes);
  char buffer[4096];
  for (int n; (n = SSL_read(ssl, buffer, sizeof(buffer))) > 0;) received.append(buffer, n);
  return received;
}

class TlsPortE2e : public ::testing::Test {
 protected:
  // A task whose output never changes, run by EXEC.
  void WriteTask(const std::string& name, const std::string& script) {
    std::filesystem::create_directories(agent_.install().Path("Tasks"));
    WriteAll(agent_.install().Path("Tasks/" + name), script);
    chmod(agent_.install().Path("Tasks/" + name).c_str(), 0755);
  }

  // One request through openssl s_client with the test client's certificate.
  std::optional<std::string> Openssl(const std::string& request) {
    std::vector<std::string> options = agent_.ClientIdentity(agent_.pki().client);
    options.insert(options.end(), {"-CAfile", agent_.pki().ca.files().certificate_file,
                                   "-verify_return_error", "-verify_ip", "127.0.0.1"});
    const SClientRun run = OpensslRequest(agent_.tls_port(), request, options);
    EXPECT_TRUE(run.ended) << run.messages;
    return FramedReply(run.received);
  }

  std::string Log() { return agent_.install().Log(); }

  TlsAgent agent_;
};

TEST_F(TlsPortE2e, AnOpensslClientGetsTheClearTextPortsRepliesByteForByte) {
  WriteTask("echo.sh", "printf 'first line\\nsecond line\\n'\nprintf 'no line end'\n");
  ASSERT_TRUE(agent_.Start({"RRDTOOL=FALSE", "LOGLEVEL=2", "ALLOWREMOTEEXEC=True",
                            "REMOTECLIENTS=127.0.0.1"}))
      << Log();

  const std::optional<std::string> exec = AgentRequest(agent_.port(), "EXEC ECHO.SH\n");
  ASSERT_TRUE(exec.has_value());
  EXPECT_NE(exec->find("no line end"), std::string::npos) << *exec;
  EXPECT_EQ(Openssl("EXEC ECHO.SH\n"), exec);

  // PING carries the time to the second: equal whenever both clear-text
  // replies around it are.
  bool compared = false;
  for (int attempt = 0; attempt < 5 && !compared; ++attempt) {
    const std::optional<std::string> before = AgentRequest(agent_.port(), "PING\n");
    const std::optional<std::string> over_tls = Openssl("PING\n");
    const std::optional<std::string> after = AgentRequest(agent_.port(), "PING\n");
    ASSERT_TRUE(before && over_tls && after);
    if (before != after) continue;
    EXPECT_EQ(*over_tls, *before);
    compared = true;
  }
  EXPECT_TRUE(compared);

  // RESUMEMON's values move; its lines and keys do not.
  const std::optional<std::string> record = AgentRequest(agent_.port(), "RESUMEMON\n");
  const std::optional<std::string> record_over_tls = Openssl("RESUMEMON\n");
  ASSERT_TRUE(record && record_over_tls);
  EXPECT_GT(KeysOf(*record).size(), 10u) << *record;
  EXPECT_EQ(KeysOf(*record_over_tls), KeysOf(*record)) << *record_over_tls;
  EXPECT_TRUE(record_over_tls->ends_with("\r\n"));

  // A request that comes with the end of the session is answered before the
  // agent ends it too, as a clear-text client that closes gets its reply.
  const std::string ended = RequestAndEndAtOnce(agent_.tls_port(), agent_.pki(), "EXEC ECHO.SH\n");
  EXPECT_EQ(ended, '\0' + *exec);

  EXPECT_GE(Occurrences(Log(), " TLS connection from 127.0.0.1, client certificate tarvo-admin"),
            4u)
      << Log();
}

TEST_F(TlsPortE2e, ClientsWithoutAnAcceptedCertificateAreClosedWithOneLineEach) {
  ASSERT_TRUE(agent_.Start({"RRDTOOL=FALSE", "LOGLEVEL=1"})) << Log();
  const std::vector<std::string> check_agent = {"-CAfile", agent_.pki().ca.files().certificate_file};
  struct Case {
    std::vector<std::string> identity;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{}, "no client certificate"},
      {agent_.ClientIdentity(agent_.pki().client_other_ca),
       "certificate not trusted (unable to get local issuer certificate)"},
      {agent_.ClientIdentity(agent_.pki().client_expired), "certificate expired"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = check_agent;
    options.insert(options.end(), c.identity.begin(), c.identity.end());
    const SClientRun run = OpensslRequest(agent_.tls_port(), "PING\n", options);
    EXPECT_TRUE(run.ended) << c.reason;
    EXPECT_EQ(run.received, "") << c.reason;
    EXPECT_EQ(Occurrences(Log(), " TLS connection from 127.0.0.1 refused: " + c.reason + "\r\n"), 1u)
        << Log();
  }
  // A clear-text client on the TLS port gets nothing and is closed.
  const int clear = ConnectTo(agent_.tls_port());
  ASSERT_GE(clear, 0);
  ASSERT_EQ(send(clear, "PING\n", 5, MSG_NOSIGNAL), 5);
  EXPECT_TRUE(WaitForClose(clear));
  close(clear);
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    return Occurrences(Log(), " TLS connection from 127.0.0.1 refused: not TLS (a clear-text "
                             "client?)\r\n") == 1;
  })) << Log();

  EXPECT_TRUE(AgentRequest(agent_.port(), "PING\n").has_value());
  EXPECT_TRUE(Openssl("PING\n").has_value());
}

TEST_F(TlsPortE2e, AnUnusableFileKeepsTheTlsPortClosedWhileTheClearTextPortServes) {
  const std::string& folder = agent_.install().folder();
  WriteAll(agent_.install().Path("notes.txt"), "not a certificate\n");
  WriteAll(agent_.install().Path("open.key"), agent_.pki().server.key_pem);
  chmod(agent_.install().Path("open.key").c_str(), 0644);
  struct Case {
    std::string line;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"TLSKEY=open.key",
       "TLSKEY file " + folder + "/open.key is readable by others than its owner"},
      {"TLSKEY=server-rsa.key", "TLSKEY file " + folder +
                                    "/server-rsa.key does not match the certificate of " +
                                    folder + "/server.pem"},
      {"TLSCERT=missing.pem", "TLSCERT file " + folder + "/missing.pem is missing"},
      {"TLSCA=notes.txt", "TLSCA file " + folder + "/notes.txt holds no PEM certificate"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(agent_.Start({"RRDTOOL=FALSE", "LOGLEVEL=0", c.line}, false)) << Log();
    EXPECT_EQ(Occurrences(Log(), " TLS listener off: " + c.logged + "\r\n"), 1u) << Log();
    const int refused = ConnectTo(agent_.tls_port());
    EXPECT_EQ(refused, -1) << c.line;
    if (refused >= 0) close(refused);
    ASSERT_TRUE(agent_.Stop());
  }
}

TEST_F(TlsPortE2e, ATlsPortInUseIsLoggedAndTakenOnceItIsFree) {
  // Another program holds the TLS port when the agent starts.
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(agent_.tls_port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  ASSERT_TRUE(agent_.Start({"RRDTOOL=FALSE", "LOGLEVEL=1", "PERIODOBASE=0"}, false)) << Log();
  const std::string in_use = " TLS listener on port " + std::to_string(agent_.tls_port()) +
                             " not opened: bind: Address already in use\r\n";
  EXPECT_TRUE(testsupport::WaitUntil([&] { return Occurrences(Log(), in_use) >= 2; })) << Log();

  close(holder);
  const std::unique_ptr<common::TlsContext> client = agent_.ClientContext(&agent_.pki().client);
  ASSERT_TRUE(client);
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] { return TlsRequest(agent_.tls_port(), *client, "PING\n").has_value(); }));
  EXPECT_TRUE(AgentRequest(agent_.port(), "PING\n").has_value());
}

TEST_F(TlsPortE2e, NoTaskPasswordSentOverTlsReachesTheDisk) {
  // A first start from a shell makes the Tasks folders and the sample task.
  ASSERT_EQ(agent_.install().RunAgentFromShell().exit_code, 0);
  ASSERT_TRUE(agent_.Start({"RRDTOOL=FALSE", "LOGLEVEL=5", "ALLOWREMOTEEXEC=True",
                            "REMOTECLIENTS=127.0.0.1"}))
      << Log();
  for (const std::string request :
       {"EXETASK #PW1.BUF#MY TASK#HELLO.SH RUN#O#USER#TOPSECRET#1#X\n",
        "EXETASK #PW2.BUF#EXEC#HELLO.SH#O#U#TOP SECRET#1#X\n"}) {
    const std::optional<std::string> reply = Openssl(request);
    ASSERT_TRUE(reply.has_value()) << request;
    EXPECT_NE(reply->find("FIM"), std::string::npos) << "the task ran: " << *reply;
  }
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    return std::filesystem::exists(agent_.install().Path("Tasks/Done/PW2.BUF"));
  }));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(agent_.install().folder())) {
    if (!entry.is_regular_file() || entry.path().filename() == "AgentTarvoService") continue;
    std::string upper = testsupport::ReadAll(entry.path());
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(upper.find("SECRET"), std::string::npos) << entry.path();
  }
  EXPECT_NE(Log().find("EXETASK"), std::string::npos) << "the requests were logged";
}

}  // namespace
}  // namespace e2e
