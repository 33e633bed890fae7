#include "common/TlsSession.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsTestServer.h"

namespace common {
namespace {

using State = TlsSession::State;
using testsupport::IssuedCertificate;
using testsupport::TempFolder;
using testsupport::TestPki;

// Hands each side's bytes to the other until neither has any left to send.
template <typename Client>
void Exchange(Client& client, TlsSession& server) {
  for (int round = 0; round < 50; ++round) {
    const std::string to_server = client.TakeCiphertext();
    const std::string to_client = server.TakeCiphertext();
    if (to_server.empty() && to_client.empty()) return;
    if (!to_server.empty()) server.FeedCiphertext(to_server);
    if (!to_client.empty()) client.FeedCiphertext(to_client);
  }
  ADD_FAILURE() << "the sessions kept talking";
}

// A client driven straight through the library, for what our own sessions
// never send: renegotiations, oversized hellos, TLS 1.2 only.
class RawClient {
 public:
  explicit RawClient(SSL_CTX* context) : ssl_(SSL_new(context)) {
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
    SSL_do_handshake(ssl_);
  }
  ~RawClient() { SSL_free(ssl_); }

  std::string TakeCiphertext() {
    std::string bytes(BIO_ctrl_pending(out_), '\0');
    const int read = BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(read > 0 ? static_cast<size_t>(read) : 0);
    return bytes;
  }
  void FeedCiphertext(std::string_view bytes) {
    BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    if (SSL_is_init_finished(ssl_) != 1) {
      SSL_do_handshake(ssl_);
    } else {
      char buffer[4096];
      while (SSL_read(ssl_, buffer, sizeof(buffer)) > 0) {
      }
    }
  }
  SSL* ssl() const { return ssl_; }

 private:
  SSL* ssl_;
  BIO* in_;
  BIO* out_;
};

class TlsSessionTest : public ::testing::Test {
 protected:
  TlsSessionTest() {
    TlsFileProblem problem;
    server_context_ = TlsContext::ForServer(
        {pki_.server.certificate_file, pki_.server.key_file, pki_.ca.files().certificate_file},
        &problem);
    if (!server_context_) ADD_FAILURE() << problem.Problem;
  }

  std::unique_ptr<TlsContext> ClientContext(const IssuedCertificate* identity,
                                            const std::string& authority) {
    TlsFileProblem problem;
    auto context = TlsContext::ForClient(
        {identity ? identity->certificate_file : "", identity ? identity->key_file : "", authority},
        &problem);
    if (!context) ADD_FAILURE() << problem.Problem;
    return context;
  }
  std::unique_ptr<TlsContext> ClientContext(const IssuedCertificate* identity) {
    return ClientContext(identity, pki_.ca.files().certificate_file);
  }

  TempFolder folder_;
  TestPki pki_{folder_.path()};
  std::unique_ptr<TlsContext> server_context_;
};

TEST_F(TlsSessionTest, CarriesTheProtocolBothWaysAfterVerifyingTheClient) {
  const auto client_context = ClientContext(&pki_.client);
  TlsSession client(*client_context, "127.0.0.1");
  TlsSession server(*server_context_);
  // A request written before the handshake ends waits for it.
  client.SendPlaintext("PING\n");
  Exchange(client, server);

  ASSERT_EQ(server.state(), State::kOpen) << server.failure_reason();
  ASSERT_EQ(client.state(), State::kOpen) << client.failure_reason();
  EXPECT_TRUE(server.PeerVerified());
  EXPECT_EQ(server.PeerCommonName(), "tarvo-admin");
  EXPECT_TRUE(client.PeerVerified());
  EXPECT_EQ(client.PeerCommonName(), "localhost");
  EXPECT_EQ(server.TakePlaintext(), "PING\n");

  // A reply larger than any record, with its zero byte, arrives byte for byte.
  std::string reply(1, '\0');
  for (int k = 0; reply.size() < 1024 * 1024; ++k) reply += "line " + std::to_string(k) + "\r\n";
  server.SendPlaintext(reply);
  Exchange(client, server);
  EXPECT_EQ(client.TakePlaintext(), reply);

  server.Close();
  Exchange(client, server);
  EXPECT_EQ(server.state(), State::kClosed);
  EXPECT_EQ(client.state(), State::kClosed);
}

TEST_F(TlsSessionTest, RefusesClientsWithoutATrustedValidCertificateInEitherVersion) {
  struct Case {
    const IssuedCertificate* identity;
    TlsFailure failure;
    const char* reason;
    const char* alert_tls12;  // the alert the client receives, by version
    const char* alert_tls13;
  };
  const Case cases[] = {
      {nullptr, TlsFailure::kNoCertificate, "no client certificate", "handshake failure",
       "certificate required"},
      {&pki_.client_other_ca, TlsFailure::kUntrusted,
       "certificate not trusted (unable to get local issuer certificate)", "unknown CA",
       "unknown CA"},
      {&pki_.client_expired, TlsFailure::kExpired, "certificate expired", "certificate expired",
       "certificate expired"},
  };
  for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    for (const Case& c : cases) {
      const auto client_context = ClientContext(c.identity);
      SSL_CTX_set_max_proto_version(client_context->get(), version);
      TlsSession client(*client_context, "localhost");
      TlsSession server(*server_context_);
      client.SendPlaintext("EXEC HELLO.SH\n");
      Exchange(client, server);
      EXPECT_EQ(server.state(), State::kFailed) << c.reason;
      EXPECT_EQ(server.failure(), c.failure) << server.failure_reason();
      EXPECT_EQ(server.failure_reason(), c.reason);
      EXPECT_EQ(server.TakePlaintext(), "");
      // The client learns it from the agent's alert.
      EXPECT_EQ(client.state(), State::kFailed) << c.reason << " " << version;
      EXPECT_EQ(client.failure(), TlsFailure::kPeerAlert) << client.failure_reason();
      EXPECT_EQ(client.failure_reason(),
                std::string("alert from the peer: ") +
                    (version == TLS1_2_VERSION ? c.alert_tls12 : c.alert_tls13));
    }
  }
}

TEST_F(TlsSessionTest, AClientRefusesAServerItCannotTrustOrThatIsNotTheHost) {
  {
    const auto client_context = ClientContext(&pki_.client, pki_.other_ca.files().certificate_file);
    TlsSession client(*client_context, "localhost");
    TlsSession server(*server_context_);
    Exchange(client, server);
    EXPECT_EQ(client.failure(), TlsFailure::kUntrusted) << client.failure_reason();
    EXPECT_EQ(server.failure(), TlsFailure::kPeerAlert) << server.failure_reason();
    EXPECT_EQ(server.failure_reason(), "alert from the peer: unknown CA");
  }
  const auto client_context = ClientContext(&pki_.client);
  for (const char* other_host : {"tarvo.example.org", "10.9.8.7"}) {
    TlsSession client(*client_context, other_host);
    TlsSession server(*server_context_);
    Exchange(client, server);
    EXPECT_EQ(client.failure(), TlsFailure::kNameMismatch) << other_host;
    EXPECT_EQ(client.failure_reason(), "certificate does not name the host");
  }
}

TEST_F(TlsSessionTest, NamesAClearTextPeerOnEitherSide) {
  TlsSession server(*server_context_);
  server.FeedCiphertext("PING\n");
  EXPECT_EQ(server.state(), State::kFailed);
  EXPECT_EQ(server.failure(), TlsFailure::kNotTls);
  EXPECT_EQ(server.failure_reason(), "not TLS (a clear-text client?)");

  const auto client_context = ClientContext(nullptr);
  TlsSession client(*client_context, "localhost");
  EXPECT_TRUE(client.HasCiphertext()) << "the client hello is ready at once";
  client.FeedCiphertext(std::string("\0", 1));  // the clear-text port's empty reply
  EXPECT_EQ(client.failure(), TlsFailure::kNotTls);
  EXPECT_EQ(client.failure_reason(), "not TLS (a clear-text server?)");

  TlsSession half_done(*server_context_);
  const std::string hello = client_context ? TlsSession(*client_context).TakeCiphertext() : "";
  half_done.FeedCiphertext(hello.substr(0, hello.size() / 2));
  EXPECT_EQ(half_done.state(), State::kHandshake);
  half_done.FeedEnd();
  EXPECT_EQ(half_done.failure(), TlsFailure::kClosed);
  EXPECT_EQ(half_done.failure_reason(), "connection closed during the handshake");
}

// An extension of the client hello that carries the given number of bytes.
int AddPadding(SSL*, unsigned int, unsigned int, const unsigned char** out, size_t* length, X509*,
               size_t, int*, void* size) {
  static const std::string padding(64 * 1024, 'P');
  *out = reinterpret_cast<const unsigned char*>(padding.data());
  *length = *static_cast<size_t*>(size);
  return 1;
}

TEST_F(TlsSessionTest, AnOversizedHandshakeOrChainFailsItsOwnSession) {
  // A client hello of about 60 KiB.
  {
    SSL_CTX* raw_context = SSL_CTX_new(TLS_client_method());
    static size_t padding_size = 60000;
    ASSERT_EQ(SSL_CTX_add_custom_ext(raw_context, 0xfa00, SSL_EXT_CLIENT_HELLO, AddPadding, nullptr,
                                     &padding_size, nullptr, nullptr),
              1);
    RawClient client(raw_context);
    TlsSession server(*server_context_);
    const std::string hello = client.TakeCiphertext();
    EXPECT_GT(hello.size(), 60000u);
    server.FeedCiphertext(hello);
    EXPECT_EQ(server.failure(), TlsFailure::kTooLarge) << server.failure_reason();
    SSL_CTX_free(raw_context);
  }
  // A chain of 50 certificates; five intermediate authorities are the most taken.
  for (const int intermediates : {5, 49}) {
    const IssuedCertificate deep = pki_.ca.IssueBelowChain(
        "deep" + std::to_string(intermediates),
        {.common_name = "deep", .use = testsupport::CertificateUse::kClient}, intermediates);
    const auto client_context = ClientContext(&deep);
    TlsSession client(*client_context, "localhost");
    TlsSession server(*server_context_);
    Exchange(client, server);
    if (intermediates == 5) {
      EXPECT_TRUE(server.PeerVerified()) << server.failure_reason();
    } else {
      EXPECT_EQ(server.state(), State::kFailed);
      EXPECT_EQ(server.failure_reason(), "certificate not trusted (certificate chain too long)");
    }
  }
}

TEST_F(TlsSessionTest, ARenegotiationEndsTheSession) {
  SSL_CTX* raw_context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_max_proto_version(raw_context, TLS1_2_VERSION);
  SSL_CTX_use_certificate_file(raw_context, pki_.client.certificate_file.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(raw_context, pki_.client.key_file.c_str(), SSL_FILETYPE_PEM);
  RawClient client(raw_context);
  TlsSession server(*server_context_);
  Exchange(client, server);
  ASSERT_EQ(server.state(), State::kOpen) << server.failure_reason();

  ASSERT_EQ(SSL_renegotiate(client.ssl()), 1);
  SSL_do_handshake(client.ssl());
  Exchange(client, server);
  EXPECT_EQ(server.failure(), TlsFailure::kRenegotiation) << server.failure_reason();
  EXPECT_EQ(server.failure_reason(), "renegotiation refused");
  SSL_CTX_free(raw_context);
}

TEST_F(TlsSessionTest, ASavedSessionResumesWithTheVerifiedClient) {
  const auto client_context = ClientContext(&pki_.client);
  TlsResumption saved;
  {
    TlsSession client(*client_context, "localhost");
    TlsSession server(*server_context_);
    client.SendPlaintext("PING\n");
    Exchange(client, server);
    server.SendPlaintext(std::string("\0PONG", 5));  // the tickets come with the reply
    Exchange(client, server);
    EXPECT_FALSE(client.Resumed());
    saved = client.SavedSession();
  }
  ASSERT_TRUE(saved);
  TlsSession client(*client_context, "localhost", saved);
  TlsSession server(*server_context_);
  Exchange(client, server);
  EXPECT_TRUE(client.Resumed());
  EXPECT_TRUE(server.Resumed());
  EXPECT_TRUE(server.PeerVerified());
  EXPECT_EQ(server.PeerCommonName(), "tarvo-admin");
}

TEST_F(TlsSessionTest, ServesAndRefusesTheLibrarysCommandLineClient) {
  testsupport::TlsTestServer server(*server_context_, [](const std::string& line) {
    return line == "QUIT" ? std::string() : "reply to " + line;
  });
  const auto s_client = [&](const std::string& identity) {
    return testsupport::RunProgram(
        {"/bin/sh", "-c",
         "printf 'PING\\nQUIT\\n' | openssl s_client -quiet -connect 127.0.0.1:" +
             std::to_string(server.port()) + " -CAfile " + pki_.ca.files().certificate_file +
             " -verify_return_error -verify_hostname localhost " + identity + " 2>/dev/null"});
  };
  const testsupport::ProgramResult served =
      s_client("-cert " + pki_.client.certificate_file + " -key " + pki_.client.key_file);
  EXPECT_EQ(served.output, std::string("\0reply to PING\0", 15));
  s_client("");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return server.Outcomes().size() == 2; }));
  EXPECT_EQ(server.Outcomes()[0], "served tarvo-admin");
  EXPECT_EQ(server.Outcomes()[1], "refused: no client certificate");
}

}  // namespace
}  // namespace common
