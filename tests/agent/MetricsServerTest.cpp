// The metrics endpoint on the agent's loop, over real sockets: the ten
// connections it holds, the answer a peer still sending gets before the close,
// and a port that cannot be listened on.

#include "agent/MetricsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "agent/CommandServer.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/agent/MetricsTestServer.h"
#include "tests/support/HttpClient.h"
#include "tests/support/TcpClient.h"

namespace agent {
namespace {

using testsupport::TestClock;

constexpr auto kLongWait = std::chrono::seconds(30);

// A client socket that is closed when the object goes.
class Peer {
 public:
  explicit Peer(int port) : fd_(testsupport::ConnectLoopback(port, TestClock::now() + kLongWait)) {}
  ~Peer() {
    if (fd_ >= 0) close(fd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Sends a keep-alive GET of the path and reads its whole answer.
  std::optional<testsupport::HttpResult> Get(const std::string& path) {
    if (!testsupport::SendAll(fd_, "GET " + path + " HTTP/1.1\r\nHost: agent\r\n\r\n")) return {};
    std::string received;
    std::optional<testsupport::HttpResult> answer;
    const auto deadline = TestClock::now() + kLongWait;
    while (!(answer = testsupport::ParseHttpResponse(received))) {
      if (!testsupport::ReadUntil(fd_, received, received.size() + 1, deadline)) return {};
    }
    return answer;
  }
  // Reads until the endpoint closes the connection; what came before.
  std::optional<std::string> ReadToClose() {
    std::string received;
    if (!testsupport::ReadUntil(fd_, received, 0, TestClock::now() + kLongWait)) return {};
    return received;
  }
  // Whether the connection is still open with nothing to read.
  bool OpenAndQuiet() const {
    char byte;
    return recv(fd_, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

class MetricsEndpointTest : public AgentHomeTest {
 protected:
  MetricsEndpointTest() {
    site_.Exposition = [](ExpositionFormat) { return std::string("tarvo_processes 187\n"); };
    site_.Page = [] { return std::string("<html></html>"); };
    site_.Graph = [](std::string_view) { return std::nullopt; };
  }

  MetricsSite site_;
};

TEST_F(MetricsEndpointTest, ANewcomerBeyondTenClosesTheConnectionIdleLongest) {
  MetricsTestServer endpoint(site_);
  ASSERT_GT(endpoint.port(), 0);
  Peer scraper(endpoint.port());
  ASSERT_EQ(scraper.Get("/metrics")->Status, 200);
  std::vector<std::unique_ptr<Peer>> silent;
  for (int k = 0; k < 9; ++k) silent.push_back(std::make_unique<Peer>(endpoint.port()));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return endpoint.connections() == 10; }));
  // The scraper comes back after the silent ones came: they are idle longer.
  ASSERT_EQ(scraper.Get("/metrics")->Status, 200);

  Peer newcomer(endpoint.port());
  const auto answer = newcomer.Get("/metrics");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Body, "tarvo_processes 187\n");
  // The first silent one made room, without a word; the others stay.
  EXPECT_EQ(silent[0]->ReadToClose(), "");
  for (size_t k = 1; k < silent.size(); ++k) EXPECT_TRUE(silent[k]->OpenAndQuiet()) << k;
  EXPECT_EQ(scraper.Get("/metrics")->Status, 200);
  EXPECT_EQ(endpoint.connections(), 10);
}

TEST_F(MetricsEndpointTest, APeerStillSendingAnOverlongRequestReadsItsAnswer) {
  MetricsTestServer endpoint(site_);
  Peer peer(endpoint.port());
  // 1 MiB of request line: the endpoint answers after the first 8 KiB and must
  // not reset the connection while the rest is on its way.
  const std::string line = "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n";
  ASSERT_TRUE(testsupport::SendAll(peer.fd(), line));
  const auto received = peer.ReadToClose();
  ASSERT_TRUE(received);
  const auto answer = testsupport::ParseHttpResponse(*received);
  ASSERT_TRUE(answer) << *received;
  EXPECT_EQ(answer->Status, 414);
  EXPECT_EQ(answer->Headers.at("connection"), "close");

  EXPECT_EQ(Peer(endpoint.port()).Get("/metrics")->Status, 200);
}

TEST_F(MetricsEndpointTest, APortInUseIsLoggedOnceAndTakenOnceFree) {
  ListenerError error;
  const int holder = OpenListeningSocket("127.0.0.1", 0, error);
  ASSERT_GE(holder, 0);
  const int port = ListenerPort(holder);
  MetricsEndpoint endpoint(site_);
  EXPECT_FALSE(endpoint.Listen("127.0.0.1", port));
  EXPECT_FALSE(endpoint.Listen("127.0.0.1", port));
  EXPECT_EQ(CountLines(Log(), " metrics endpoint cannot listen on 127.0.0.1:" +
                                  std::to_string(port) + ": bind: Address already in use (98)"),
            1)
      << Log();
  EXPECT_EQ(endpoint.Port(), -1);

  close(holder);
  EXPECT_TRUE(endpoint.Listen("127.0.0.1", port));
  EXPECT_EQ(endpoint.Port(), port);
  EXPECT_EQ(CountLines(Log(), " metrics endpoint listening on 127.0.0.1:" + std::to_string(port)), 1);
}

}  // namespace
}  // namespace agent
