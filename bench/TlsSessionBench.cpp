// The TLS work of one connection, in memory (no sockets): a full handshake with
// a verified client certificate (ECDSA P-256 and RSA 2048 agent keys), a resumed
// one, and a PING-sized request and reply on an open session. Prints, for each,
// the time the agent's side spends (the share its one thread would carry) and
// the time of both sides together.
//
//   build/bench/tls_session_bench [rounds]

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchSupport.h"
#include "common/TlsContext.h"
#include "common/TlsSession.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"

namespace {

using bench::Clock;
using common::TlsSession;

struct Timings {
  bench::Series server;
  bench::Series total;
};

// Hands the bytes over until neither side has any, timing the server's calls.
bool Exchange(TlsSession& client, TlsSession& server, double& server_ms) {
  for (int round = 0; round < 20 && (client.HasCiphertext() || server.HasCiphertext()); ++round) {
    const std::string to_server = client.TakeCiphertext();
    const Clock::time_point start = Clock::now();
    server.FeedCiphertext(to_server);
    const std::string to_client = server.TakeCiphertext();
    server_ms += bench::MsSince(start);
    client.FeedCiphertext(to_client);
  }
  return server.state() == TlsSession::State::kOpen;
}

// One connection: handshake and PING; the session kept for resumption.
bool Connect(const common::TlsContext& server_context, const common::TlsContext& client_context,
             common::TlsResumption& resume, Timings& timings, bool expect_resumed) {
  double server_ms = 0;
  const Clock::time_point start = Clock::now();
  TlsSession client(client_context, "localhost", resume);
  TlsSession server(server_context);
  client.SendPlaintext("PING\n");
  if (!Exchange(client, server, server_ms)) return false;
  const Clock::time_point reply_start = Clock::now();
  (void)server.TakePlaintext();
  server.SendPlaintext(std::string("\0", 1) + "12/08/2026 10:15:02 PONG 12/08/2026 10:15:02");
  server_ms += bench::MsSince(reply_start);
  Exchange(client, server, server_ms);
  const bool ok = client.TakePlaintext().size() == 45 && server.Resumed() == expect_resumed;
  if (!expect_resumed) resume = client.SavedSession();
  timings.server.Add(server_ms);
  timings.total.Add(bench::MsSince(start));
  return ok;
}

void Print(const char* what, const Timings& timings) {
  const bench::Figures server = timings.server.Summary();
  const bench::Figures total = timings.total.Summary();
  std::printf("  %-40s agent side median %.3f ms, p99 %.3f ms; both sides median %.3f ms\n", what,
              server.median, server.p99, total.median);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
  testsupport::TempFolder folder;
  const testsupport::TestPki pki(folder.path());
  common::TlsFileProblem problem;
  const auto client_context = common::TlsContext::ForClient(
      {pki.client.certificate_file, pki.client.key_file, pki.ca.files().certificate_file},
      &problem);
  std::printf("TLS sessions in memory, %d rounds each\n", rounds);
  bool ok = client_context != nullptr;
  for (const auto* identity : {&pki.server, &pki.server_rsa}) {
    const auto server_context = common::TlsContext::ForServer(
        {identity->certificate_file, identity->key_file, pki.ca.files().certificate_file},
        &problem);
    if (!server_context || !client_context) return 1;
    Timings full;
    Timings resumed;
    common::TlsResumption resume;
    for (int k = 0; k < rounds && ok; ++k) {
      common::TlsResumption fresh;
      ok = Connect(*server_context, *client_context, fresh, full, false) &&
           Connect(*server_context, *client_context, fresh, resumed, true);
    }
    const bool rsa = identity == &pki.server_rsa;
    Print(rsa ? "full handshake + PING, RSA 2048" : "full handshake + PING, ECDSA P-256", full);
    Print(rsa ? "resumed handshake + PING, RSA 2048" : "resumed handshake + PING, ECDSA P-256",
          resumed);
  }

  // PING on an open session: the request and the reply through both sides.
  const auto server_context = common::TlsContext::ForServer(
      {pki.server.certificate_file, pki.server.key_file, pki.ca.files().certificate_file},
      &problem);
  TlsSession client(*client_context, "localhost");
  TlsSession server(*server_context);
  double ignored = 0;
  ok = ok && Exchange(client, server, ignored);
  Timings persistent;
  for (int k = 0; k < rounds * 10 && ok; ++k) {
    const Clock::time_point start = Clock::now();
    client.SendPlaintext("PING\n");
    const std::string request = client.TakeCiphertext();
    const Clock::time_point server_start = Clock::now();
    server.FeedCiphertext(request);
    ok = server.TakePlaintext() == "PING\n";
    server.SendPlaintext(std::string("\0", 1) + "12/08/2026 10:15:02 PONG 12/08/2026 10:15:02");
    const std::string reply = server.TakeCiphertext();
    persistent.server.Add(bench::MsSince(server_start));
    client.FeedCiphertext(reply);
    ok = ok && client.TakePlaintext().size() == 45;
    persistent.total.Add(bench::MsSince(start));
  }
  Print("PING on an open session", persistent);
  if (!ok) std::printf("a session failed\n");
  return ok ? 0 : 1;
}
