// Bytes from a TLS peer through the record layer of a session, as the TLS
// listener feeds what its sockets read. The first byte picks the case:
//   0  a server session before its handshake (hellos, clear text, scanners);
//   1  a server session after a complete handshake with a verified client
//      (records, alerts, renegotiation attempts on a live connection);
//   2  a client session that has sent its hello (what a server answers).
// The second byte sets the size of the pieces the rest is fed in.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/TlsContext.h"
#include "common/TlsSession.h"
#include "tests/fuzz/FuzzHome.h"
#include "tests/support/TestCertificates.h"

namespace {

struct Contexts {
  std::unique_ptr<common::TlsContext> server;
  std::unique_ptr<common::TlsContext> client;
};

Contexts& TheContexts() {
  static Contexts contexts;
  return contexts;
}

// Bytes each side has to send go to the other until neither has any.
void Exchange(common::TlsSession& client, common::TlsSession& server) {
  for (int round = 0; round < 20 && (client.HasCiphertext() || server.HasCiphertext()); ++round) {
    server.FeedCiphertext(client.TakeCiphertext());
    client.FeedCiphertext(server.TakeCiphertext());
  }
}

// Feeds the bytes in pieces, draining the session after each as the loop
// would, until it fails or closes.
void FeedInPieces(common::TlsSession& session, std::string_view bytes, size_t piece) {
  while (!bytes.empty() && (session.state() == common::TlsSession::State::kHandshake ||
                            session.state() == common::TlsSession::State::kOpen)) {
    session.FeedCiphertext(bytes.substr(0, piece));
    bytes.remove_prefix(std::min(piece, bytes.size()));
    (void)session.TakeCiphertext();
    const std::string request = session.TakePlaintext();
    if (!request.empty()) session.SendPlaintext(std::string(1, '\0') + request);
  }
  (void)session.failure_reason();
  (void)session.PeerCommonName();
  session.FeedEnd();
  session.Close();
  (void)session.TakeCiphertext();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& folder = fuzzsupport::FuzzHome();
  const testsupport::TestAuthority ca(folder, "ca", "Fuzz CA");
  const testsupport::IssuedCertificate server = ca.Issue("server", {.common_name = "localhost"});
  const testsupport::IssuedCertificate client = ca.Issue(
      "client", {.common_name = "fuzz-client", .use = testsupport::CertificateUse::kClient});
  common::TlsFileProblem problem;
  Contexts& contexts = TheContexts();
  contexts.server = common::TlsContext::ForServer(
      {server.certificate_file, server.key_file, ca.files().certificate_file}, &problem);
  contexts.client = common::TlsContext::ForClient(
      {client.certificate_file, client.key_file, ca.files().certificate_file}, &problem);
  if (!contexts.server || !contexts.client) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return -1;
  const int kind = data[0] % 3;
  const size_t piece = 1 + static_cast<size_t>(data[1]) * 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Contexts& contexts = TheContexts();
  if (kind == 0) {
    common::TlsSession server(*contexts.server);
    FeedInPieces(server, bytes, piece);
  } else if (kind == 1) {
    common::TlsSession client(*contexts.client, "localhost");
    common::TlsSession server(*contexts.server);
    Exchange(client, server);
    if (!server.PeerVerified()) __builtin_trap();
    FeedInPieces(server, bytes, piece);
  } else {
    common::TlsSession client(*contexts.client, "localhost");
    (void)client.TakeCiphertext();
    FeedInPieces(client, bytes, piece);
  }
  return 0;
}
