#pragma once
// A small TLS server speaking the agent's framing, for tests of TLS clients
// (tarvo-get, openssl s_client): it listens on 127.0.0.1 on a port of its own,
// serves one connection at a time on a thread of its own through a TLS
// session, answers every line with a zero byte and the answer, and closes the
// session after a line holding QUIT. It notes each connection's outcome.

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/TlsContext.h"

namespace testsupport {

class TlsTestServer {
 public:
  using Answer = std::function<std::string(const std::string& line)>;

  // The context must outlive the server.
  TlsTestServer(const common::TlsContext& context, Answer answer);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  int port() const { return port_; }

  // One entry per connection that ended: "refused: <reason>", or "served
  // <common name or -> [resumed]".
  std::vector<std::string> Outcomes() const;

 private:
  void Run();
  void Serve(int connection);
  void Note(std::string outcome);

  const common::TlsContext& context_;
  Answer answer_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> outcomes_;
  std::thread thread_;
};

}  // namespace testsupport
