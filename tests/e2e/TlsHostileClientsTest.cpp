// Bad input on the TLS port of the running agent service: random bytes, a
// 64 KiB client hello, a renegotiation, a chain of 50 certificates, a client
// that closes in the middle of a reply and 100 handshakes left half done each
// close their own connection with a log line, while a clear-text and a TLS
// client keep getting their replies.

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <thread>

#include "common/TlsSession.h"
#include "tests/e2e/TlsAgent.h"
#include "tests/support/AgentClient.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"
#include "tools/AgentConnection.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::SendAll;

const std::regex kPing(R"(\d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)? PONG \d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)?)");

bool IsPingReply(const std::string& received) {
  return received.size() > 1 && received.front() == '\0' &&
         std::regex_match(received.substr(1), kPing);
}

// PING on a connection of its own, in clear text: true when its whole reply
// came. The connection may be closed right after the reply (the ten-connection
// rule), so the reply is told by its form.
bool ClearPing(int port) {
  const int fd = ConnectTo(port);
  if (fd < 0) return false;
  std::string received;
  bool whole = SendAll(fd, "PING\n");
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while (whole && !IsPingReply(received) && Clock::now() < deadline) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) whole = false;
    if (n > 0) received.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return IsPingReply(received);
}

// The same over TLS with the library's session.
bool TlsPing(int port, const common::TlsContext& context) {
  std::string failure;
  const auto connection = tools::AgentConnection::Open(
      "127.0.0.1", port, &context, {}, Clock::now() + std::chrono::seconds(30), &failure);
  if (!connection || !connection->Send("PING\n", &failure)) return false;
  std::string received;
  while (!IsPingReply(received)) {
    if (connection->Read(received, &failure) != tools::AgentConnection::ReadResult::kData) break;
  }
  return IsPingReply(received);
}

// A client that asks without pause on another thread until the object goes,
// counting the replies that came whole and those that did not.
class Poller {
 public:
  explicit Poller(std::function<bool()> ask)
      : thread_([this, ask = std::move(ask)] {
          while (!stop_) (ask() ? answered_ : failed_)++;
        }) {}
  ~Poller() {
    stop_ = true;
    thread_.join();
  }
  int answered() const { return answered_; }
  int failed() const { return failed_; }

 private:
  std::atomic<bool> stop_ = false;
  std::atomic<int> answered_ = 0;
  std::atomic<int> failed_ = 0;
  std::thread thread_;
};

// An extension of the client hello carrying the given number of bytes.
int AddPadding(SSL*, unsigned int, unsigned int, const unsigned char** out, size_t* length, X509*,
               size_t, int*, void* size) {
  static const std::string padding(64 * 1024, 'P');
  *out = reinterpret_cast<const unsigned char*>(padding.data());
  *length = *static_cast<size_t*>(size);
  return 1;
}

// The first flight of a client whose hello carries about 64 KiB.
std::string LargeClientHello() {
  static size_t padding = 65000;  // all the extensions must fit in 64 KiB
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_add_custom_ext(context, 0xfa00, SSL_EXT_CLIENT_HELLO, AddPadding, nullptr, &padding,
                         nullptr, nullptr);
  SSL* ssl = SSL_new(context);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_connect_state(ssl);
  SSL_do_handshake(ssl);
  std::string hello(BIO_ctrl_pending(out), '\0');
  hello.resize(static_cast<size_t>(std::max(0, BIO_read(out, hello.data(), hello.size()))));
  SSL_free(ssl);
  SSL_CTX_free(context);
  return hello;
}

// A TLS 1.2 client on a blocking socket that asks for a renegotiation once
// PING has been answered. Returns whether the agent then closed the connection.
bool RenegotiationClosesTheConnection(int port, const testsupport::TestPki& pki) {
  const BlockingTlsClient client(port, pki, TLS1_2_VERSION);
  SSL* ssl = client.ssl();
  char reply[256];
  if (SSL_connect(ssl) == 1 && SSL_write(ssl, "PING\n", 5) == 5 &&
      SSL_read(ssl, reply, sizeof(reply)) > 0 && SSL_renegotiate(ssl) == 1) {
    SSL_do_handshake(ssl);
    return WaitForClose(client.fd());
  }
  return false;
}

TEST(TlsHostileClients, EachClosesItsOwnConnectionWithALineWhileOthersAreAnswered) {
  TlsAgent agent;
  AgentInstall& install = agent.install();
  std::filesystem::create_directories(install.Path("Tasks"));
  testsupport::WriteAll(install.Path("Tasks/big.sh"), "head -c 16000000 /dev/zero | tr '\\0' x\n");
  chmod(install.Path("Tasks/big.sh").c_str(), 0755);
  ASSERT_TRUE(agent.Start({"RRDTOOL=FALSE", "LOGLEVEL=2", "ALLOWREMOTEEXEC=True",
                           "REMOTECLIENTS=127.0.0.1"}))
      << install.Log();
  const std::unique_ptr<common::TlsContext> client = agent.ClientContext(&agent.pki().client);
  ASSERT_TRUE(client);
  const int tls_port = agent.tls_port();
  const auto refused = [&](const std::string& reason) {
    return Occurrences(install.Log(), " TLS connection from 127.0.0.1 refused: " + reason + "\r\n");
  };
  // Each bad client is closed by the agent.
  const auto closed_after = [&](std::string_view bytes) {
    const int fd = ConnectTo(tls_port);
    const bool closed = fd >= 0 && SendAll(fd, bytes) && WaitForClose(fd);
    if (fd >= 0) close(fd);
    return closed;
  };

  const Poller clear([&] { return ClearPing(agent.port()); });
  const Poller tls([&] { return TlsPing(tls_port, *client); });

  std::string noise(4096, '\0');
  std::mt19937 random(22);
  for (char& byte : noise) byte = static_cast<char>(random() % 256);
  noise[0] = 'G';  // not a TLS record
  EXPECT_TRUE(closed_after(noise));
  const std::string large_hello = LargeClientHello();
  EXPECT_GT(large_hello.size(), 64000u);
  EXPECT_TRUE(closed_after(large_hello));
  EXPECT_TRUE(RenegotiationClosesTheConnection(tls_port, agent.pki()));
  const testsupport::IssuedCertificate deep = agent.pki().ca.IssueBelowChain(
      "deep", {.common_name = "deep", .use = testsupport::CertificateUse::kClient}, 49);
  common::TlsFileProblem problem;
  const auto deep_client = common::TlsContext::ForClient(
      {deep.certificate_file, deep.key_file, agent.pki().ca.files().certificate_file}, &problem);
  ASSERT_TRUE(deep_client) << problem.Problem;
  EXPECT_FALSE(TlsRequest(tls_port, *deep_client, "PING\n").has_value());

  // A client that closes after the first bytes of a 16 MB reply.
  {
    std::string failure;
    auto reader = tools::AgentConnection::Open("127.0.0.1", tls_port, client.get(), {},
                                               Clock::now() + std::chrono::seconds(60), &failure);
    ASSERT_TRUE(reader) << failure;
    ASSERT_TRUE(reader->Send("EXEC BIG.SH\n", &failure));
    std::string received;
    while (received.size() < 65536 &&
           reader->Read(received, &failure) == tools::AgentConnection::ReadResult::kData) {
    }
    EXPECT_GE(received.size(), 65536u) << failure;
  }

  // 100 handshakes left half done, held while both pollers are answered
  // five times more, then given up.
  const size_t lines_before = install.Log().size();
  const std::string hello = common::TlsSession(*client, "127.0.0.1").TakeCiphertext();
  std::vector<int> half_done;
  for (int k = 0; k < 100; ++k) {
    const int fd = ConnectTo(tls_port);
    ASSERT_GE(fd, 0);
    half_done.push_back(fd);
    EXPECT_TRUE(SendAll(fd, std::string_view(hello).substr(0, hello.size() / 2)));
  }
  const int clear_answered = clear.answered();
  const int tls_answered = tls.answered();
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] { return clear.answered() >= clear_answered + 5 && tls.answered() >= tls_answered + 5; },
      std::chrono::seconds(60)));
  for (const int fd : half_done) close(fd);
  // Each gets one line: closed for a newcomer at level 2, or refused at level 1.
  const auto half_done_lines = [&] {
    const std::string log = install.Log().substr(lines_before);
    return Occurrences(log, " Closed the connection from 127.0.0.1, idle for ") +
           Occurrences(log, " refused: connection closed during the handshake\r\n") +
           Occurrences(log, " refused: handshake not finished in 10 s\r\n");
  };
  EXPECT_TRUE(testsupport::WaitUntil([&] { return half_done_lines() >= 100; }))
      << half_done_lines();

  EXPECT_EQ(refused("not TLS (a clear-text client?)"), 1u);
  EXPECT_EQ(refused("handshake larger than 32768 bytes"), 1u);
  EXPECT_EQ(refused("renegotiation refused"), 1u);
  EXPECT_EQ(refused("certificate not trusted (certificate chain too long)"), 1u);
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    return install.Log().find(" bytes to 127.0.0.1 not sent; connection closed") !=
           std::string::npos;
  })) << "the reply cut off";
  EXPECT_EQ(clear.failed(), 0);
  EXPECT_EQ(tls.failed(), 0);
}

}  // namespace
}  // namespace e2e
