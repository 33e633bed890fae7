// The agent's command server against the running service at its default
// pacing: many clients at once, on kept and on new connections, and stops.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::AgentRequest;

const std::regex kPing(
    R"(\d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)? PONG \d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)?)");

// The configuration a new installation writes, on this test's port and without
// the RRD feed.
const std::vector<std::string> kDefaultPacing{"RRDTOOL=FALSE", "NETMON=TRUE", "PERIODOBASE=2000",
                                              "COMMAND1=ss | -t -n |:80|ESTAB",
                                              "COMMAND2=ss | -t -n |:50000|ESTAB"};

// The whole of a reply, without its zero byte, told by its form.
using ReplyComplete = std::function<bool(const std::string&)>;

bool PingComplete(const std::string& reply) {
  return std::regex_match(reply, kPing);
}

size_t LineEnds(const std::string& text) {
  size_t count = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
    ++count;
  return count;
}

// A connection to the agent on 127.0.0.1.
class Connection {
 public:
  explicit Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) != 0) Close();
  }
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends the request and reads its reply: one zero byte, then text that is
  // complete by its form, and nothing more. False on anything else, a closed
  // connection or 30 s without the whole reply.
  bool Ask(std::string_view request, const ReplyComplete& complete) {
    if (fd_ < 0 || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
                       static_cast<ssize_t>(request.size())) {
      return false;
    }
    std::string received;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    char buffer[65536];
    while (received.empty() || !complete(received.substr(1))) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd waiting{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
      if (n <= 0) return false;
      received.append(buffer, static_cast<size_t>(n));
      if (received[0] != '\0' || received.find('\0', 1) != std::string::npos) return false;
    }
    return true;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Runs the body on each of `clients` threads at once; returns how many of its
// calls failed in all.
int FailuresOf(int clients, const std::function<int()>& body) {
  std::atomic<int> failures = 0;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) threads.emplace_back([&] { failures += body(); });
  for (std::thread& thread : threads) thread.join();
  return failures;
}

class ServingTest : public ::testing::Test {
 protected:
  // Starts the agent at the default pacing and waits until it answers.
  void SetUp() override {
    install_.WriteConfig(kDefaultPacing);
    ASSERT_GT(install_.StartAgentService(), 0) << install_.Log();
    const auto record = AgentRequest(install_.port(), "RESUMEMON\n", std::chrono::seconds(90));
    ASSERT_TRUE(record.has_value());
    resumemon_lines_ = LineEnds(*record);
    ASSERT_GT(resumemon_lines_, 10u) << *record;
  }

  AgentInstall install_;
  size_t resumemon_lines_ = 0;
};

TEST_F(ServingTest, EightClientsOfTwoHundredRequestsEachGetEveryReplyWholeAndInOrder) {
  const ReplyComplete record = [&](const std::string& reply) {
    return LineEnds(reply) == resumemon_lines_ && reply.ends_with("\r\n");
  };
  const int failures = FailuresOf(8, [&] {
    Connection connection(install_.port());
    int failed = 0;
    for (int i = 0; i < 100; ++i) {
      failed += !connection.Ask("PING\n", PingComplete);
      failed += !connection.Ask("RESUMEMON\n", record);
    }
    return failed;
  });
  EXPECT_EQ(failures, 0);
}

TEST_F(ServingTest, FiftyClientsConnectingTwentyTimesEachAreAllAnswered) {
  const int failures = FailuresOf(50, [&] {
    int failed = 0;
    for (int i = 0; i < 20; ++i) failed += !Connection(install_.port()).Ask("PING\n", PingComplete);
    return failed;
  });
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(AgentRequest(install_.port(), "PING\n").has_value());
}

TEST(ServingStop, AStopEndsTheAgentAtTheDefaultAndTheLongestPacing) {
  for (const char* period : {"PERIODOBASE=2000", "PERIODOBASE=2147483647"}) {
    AgentInstall install;
    std::vector<std::string> config = kDefaultPacing;
    config[2] = period;
    install.WriteConfig(config);
    const pid_t pid = install.StartAgentService();
    ASSERT_GT(pid, 0) << period;
    // Once a pass is under way, its pauses serve.
    ASSERT_TRUE(AgentRequest(install.port(), "RESUMEMON\n", std::chrono::seconds(90)).has_value());
    ASSERT_TRUE(AgentRequest(install.port(), "PING\n").has_value()) << period;
    EXPECT_EQ(install.Sc({"stop", kAgentService}).exit_code, 0);
    EXPECT_TRUE(install.WaitForState(kAgentService, 1)) << period;
    EXPECT_TRUE(testsupport::WaitUntil([pid] { return !testsupport::ProcessAlive(pid); }));
  }
}

}  // namespace
}  // namespace e2e
