#pragma once
// The agent service with its TLS port, for tests against the running service:
// the test certificates made in its program folder, the TLS keys in its
// configuration, and clients of the TLS port (openssl s_client as a program,
// and the library's session on a socket of the test's own).

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/TlsContext.h"
#include "tests/e2e/AgentInstall.h"
#include "tests/support/TestCertificates.h"

namespace e2e {

class TlsAgent {
 public:
  TlsAgent();

  AgentInstall& install() { return install_; }
  const testsupport::TestPki& pki() const { return pki_; }
  int port() const { return install_.port(); }
  int tls_port() const { return tls_port_; }

  // The lines that open the TLS port: TLSPORT, TLSCERT and TLSKEY (the ECDSA
  // server certificate) and TLSCA (the test authority).
  std::vector<std::string> TlsKeys() const;
  // Writes the configuration (TlsKeys, then the lines, which may replace
  // them), starts the service and waits until the clear-text port answers
  // PING, and, when tls is set, the TLS port too. False when a step fails.
  bool Start(const std::vector<std::string>& lines, bool tls = true);
  // Stops the service and waits until it has stopped.
  bool Stop();

  // s_client's options that show the test client's certificate and check the
  // agent's against the test authority.
  std::vector<std::string> ClientIdentity(const testsupport::IssuedCertificate& client) const;

  // A client context with the certificate (nullptr: none) that trusts the test
  // authority.
  std::unique_ptr<common::TlsContext> ClientContext(
      const testsupport::IssuedCertificate* client) const;

 private:
  AgentInstall install_;
  testsupport::TestPki pki_;
  int tls_port_;
};

// What one run of `openssl s_client -quiet` on 127.0.0.1:port brought.
struct SClientRun {
  std::string received;  // standard output: what the agent sent inside TLS
  std::string messages;  // standard error
  bool ended = false;    // s_client ended (the connection closed) in time
};

// Runs openssl s_client with the options, sends the request and, once the
// first byte of its reply has come, QUIT, and reads until s_client ends or
// 30 s pass (it is killed then).
SClientRun OpensslRequest(int port, std::string_view request,
                          const std::vector<std::string>& options);

// The reply of an exchange as AgentRequest gives it: what lies between the
// first zero byte and the last, which ends QUIT's empty reply. Nothing when the
// text is not framed so.
std::optional<std::string> FramedReply(const std::string& received);

// One request over TLS on a connection of its own, through the library's
// session: the reply without its zero byte, or nothing.
std::optional<std::string> TlsRequest(int port, const common::TlsContext& context,
                                      const std::string& request);

// A connection to 127.0.0.1:port; -1 on failure.
int ConnectTo(int port);

// The library itself as a client on a blocking connection to 127.0.0.1:port,
// with the test client's certificate (reads give up after 30 s), for steps
// the session class does not take: a renegotiation, records sent together.
// Not yet connected: SSL_connect(ssl()) does the handshake.
class BlockingTlsClient {
 public:
  // max_version: the highest TLS version offered (0: the library's).
  BlockingTlsClient(int port, const testsupport::TestPki& pki, int max_version = 0);
  ~BlockingTlsClient();
  BlockingTlsClient(const BlockingTlsClient&) = delete;
  BlockingTlsClient& operator=(const BlockingTlsClient&) = delete;

  SSL* ssl() const { return ssl_; }
  int fd() const { return fd_; }

 private:
  SSL_CTX* context_;
  int fd_;
  SSL* ssl_;
};

// Waits until the peer closes the socket (reading and dropping what comes),
// at most until the deadline. Returns whether it closed.
bool WaitForClose(int fd, std::chrono::seconds deadline = std::chrono::seconds(30));

}  // namespace e2e
