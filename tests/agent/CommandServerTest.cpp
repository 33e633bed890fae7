#include "agent/CommandServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

#include "common/AgentConfig.h"
#include "common/ScaledSleep.h"
#include "platform/Wait.h"
#include "platform/Sync.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/Processes.h"

namespace agent {
namespace {

using namespace std::chrono_literals;

const std::regex kPing(
    R"(\d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)? PONG \d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)?)");

// A client of the agent's port on 127.0.0.1.
class Client {
 public:
  // receive_buffer: the socket's receive buffer in bytes (0: the system's).
  explicit Client(int port, int receive_buffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    }
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)), 0);
  }
  ~Client() { Close(); }

  // Sends all bytes; false when the agent has closed the connection.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  // Takes in what has arrived, without waiting. Returns true once the agent
  // has closed the connection.
  bool Pump() {
    char buffer[65536];
    for (;;) {
      const ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n > 0) {
        received_.append(buffer, static_cast<size_t>(n));
      } else {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) closed_ = true;
        return closed_;
      }
    }
  }
  // The reply texts received so far: what follows each zero byte.
  std::vector<std::string> Replies() {
    Pump();
    std::vector<std::string> replies;
    for (char c : received_) {
      if (c == '\0') {
        replies.emplace_back();
      } else if (!replies.empty()) {
        replies.back() += c;
      }
    }
    return replies;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }
  const std::string& received() const { return received_; }
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  std::string received_;
  bool closed_ = false;
};

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (readdir(fds) != nullptr) ++count;
    closedir(fds);
  }
  return count;
}

class CommandServerTest : public AgentHomeTest {
 protected:
  CommandServerTest() {
    listen_ = OpenListener(0);
    port_ = ListenerPort(listen_);
  }
  ~CommandServerTest() override {
    CloseClientConnections();
    if (listen_ >= 0) close(listen_);
  }

  // Runs polling cycles until the condition holds after one (20 s at most).
  bool ServeUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      ServeClients(listen_);
      if (condition()) return true;
      PauseServing(listen_, -1, 10ms);
    }
    return false;
  }
  // Serves on another thread, in polling cycles, until the object goes; as in
  // the agent, the waits for programs serve the clients too.
  class BackgroundServer {
   public:
    explicit BackgroundServer(int listen_socket)
        : thread_([this, listen_socket] {
            const platform::WaitHook former = platform::SetWaitHook(ServeWhileWaiting);
            while (!stop_.IsSet()) {
              ServeClients(listen_socket);
              PauseServing(listen_socket, stop_.fd(), 10ms);
            }
            platform::SetWaitHook(former);
          }) {}
    ~BackgroundServer() {
      stop_.Set();
      thread_.join();
    }

   private:
    platform::ManualResetEvent stop_;
    std::thread thread_;
  };
  std::unique_ptr<Client> Connected() {
    auto client = std::make_unique<Client>(port_);
    const int held = ConnectionCount();
    EXPECT_TRUE(ServeUntil([&] { return ConnectionCount() == held + 1; }));
    return client;
  }

  int listen_ = kNoSocket;
  int port_ = 0;
};

TEST_F(CommandServerTest, AnswersEveryRequestAfterOneZeroByteAndClosesAfterQuit) {
  ASSERT_GT(port_, 0);
  Client client(port_);
  client.Send("HELLO\n");
  ASSERT_TRUE(ServeUntil([&] { return client.Replies().size() == 1; }));
  client.Send("ping\n");
  ASSERT_TRUE(
      ServeUntil([&] { return client.Replies().size() == 2 && !client.Replies()[1].empty(); }));
  client.Send("QUIT\n");
  ASSERT_TRUE(ServeUntil([&] { return client.Pump(); }));

  const std::vector<std::string> replies = client.Replies();
  ASSERT_EQ(replies.size(), 3u) << client.received();
  EXPECT_EQ(replies[0], "");
  EXPECT_TRUE(std::regex_match(replies[1], kPing)) << replies[1];
  EXPECT_EQ(replies[2], "");
  EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(CommandServerTest, HoldsARequestUntilItsLineFeedAndAnswersOneReadOnce) {
  auto client = Connected();
  client->Send("PI");
  for (int i = 0; i < 5; ++i) ServeClients(listen_);
  client->Send("NG\n");
  ASSERT_TRUE(ServeUntil([&] { return client->Replies().size() == 1; }));
  EXPECT_NE(Log().find(" IPADDR-2-2-PI.1\r\n IPADDR-3-3-NG\n.2\r\nPING\n Process Cmd\r\n"),
            std::string::npos)
      << Log();
  client->Send("PING\nPING\n");
  ASSERT_TRUE(ServeUntil([&] { return client->Replies().size() == 2; }));
  client->Send("QUIT\n");
  ASSERT_TRUE(ServeUntil([&] { return client->Pump(); }));

  const std::vector<std::string> replies = client->Replies();
  ASSERT_EQ(replies.size(), 3u) << client->received();
  EXPECT_TRUE(std::regex_match(replies[0], kPing));
  EXPECT_TRUE(std::regex_match(replies[1], kPing));
  EXPECT_EQ(replies[2], "");
}

TEST_F(CommandServerTest, CutsOffAClientThatSendsTooMuchWithoutALineFeed) {
  auto flood = Connected();
  auto other = Connected();
  const std::string chunk(16384, 'x');
  ASSERT_TRUE(ServeUntil([&] { return !flood->Send(chunk) || flood->Pump(); }));
  EXPECT_TRUE(ServeUntil([&] { return ConnectionCount() == 1; }));
  EXPECT_EQ(CountLines(Log(), "without a line feed"), 1) << Log().substr(0, 300);

  other->Send("PING\n");
  ASSERT_TRUE(ServeUntil([&] { return other->Replies().size() == 1; }));
  EXPECT_TRUE(std::regex_match(other->Replies()[0], kPing));
}

TEST_F(CommandServerTest, FreesTheSlotOfAClientThatHasGoneAtOnce) {
  auto live = Connected();
  EXPECT_EQ(ConnectionCount(), 1);
  // Eleven clients that come and go never make room by closing the live one.
  for (int i = 0; i < 11; ++i) {
    auto passing = Connected();
    passing->Close();
    ASSERT_TRUE(ServeUntil([&] { return ConnectionCount() == 1; }));
  }
  live->Send("PING\n");
  ASSERT_TRUE(ServeUntil([&] { return live->Replies().size() == 1; }));
  EXPECT_FALSE(live->closed());
}

TEST_F(CommandServerTest, AnEleventhConnectionClosesOnlyTheOneIdleLongest) {
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 10; ++i) held.push_back(Connected());
  // The first client speaks again, so the second is the one idle longest.
  held[0]->Send("PING\n");
  ASSERT_TRUE(ServeUntil([&] { return held[0]->Replies().size() == 1; }));

  auto eleventh = std::make_unique<Client>(port_);
  ASSERT_TRUE(ServeUntil([&] { return held[1]->Pump(); }));
  EXPECT_EQ(ConnectionCount(), 10);
  EXPECT_EQ(CountLines(Log(), "idle for"), 1) << Log();
  held[1] = std::move(eleventh);
  for (auto& client : held) {
    const size_t before = client->Replies().size();
    client->Send("PING\n");
    ASSERT_TRUE(ServeUntil([&] { return client->Replies().size() == before + 1; }));
    EXPECT_TRUE(std::regex_match(client->Replies().back(), kPing));
    EXPECT_FALSE(client->closed());
  }
}

TEST_F(CommandServerTest, TakesALineOfUpToOneMebibyteHoweverItArrivesAndNoLonger) {
  std::string events = "PUSHEVENTS ";
  for (int i = 0; events.size() < 200000; ++i) events += "event " + std::to_string(i) + "#";
  const std::string too_long(2 * 1024 * 1024, 'x');
  common::TheAgentConfig().LogLevel = 1;  // no trace of every piece received
  struct Case {
    std::string line;
    size_t piece;  // bytes per send
    bool taken;
  };
  const BackgroundServer server(listen_);
  int refused = 0;
  for (const Case& c :
       {Case{events + "\n", events.size() + 1, true}, Case{events + "\n", 1024, true},
        Case{too_long, too_long.size(), false}, Case{too_long, 1024, false}}) {
    std::remove(home_.Path("ServerEvents.txt").c_str());
    Client client(port_);
    for (size_t at = 0; at < c.line.size() && client.Send(c.line.substr(at, c.piece));
         at += c.piece) {
    }
    EXPECT_TRUE(testsupport::WaitUntil([&] { return client.Pump() || !client.Replies().empty(); }));
    if (c.taken) {
      ASSERT_EQ(client.Replies(), std::vector<std::string>{"Done"}) << c.piece;
      const std::string written = testsupport::ReadAll(home_.Path("ServerEvents.txt"));
      EXPECT_TRUE(written.starts_with(" event 0\r\nevent 1\r\n")) << c.piece;
      EXPECT_EQ(written.size(), events.size() - 10 + CountLines(written, "event")) << c.piece;
    } else {
      EXPECT_TRUE(client.closed()) << c.piece;
      EXPECT_EQ(CountLines(Log(), "without a line feed"), ++refused) << c.piece;
    }
  }
}

TEST_F(CommandServerTest, APauseServesClientsUntilAStopEndsIt) {
  platform::ManualResetEvent stop;
  const common::PauseHook former = common::SetPauseHook(
      [&](std::chrono::milliseconds pause) { PauseServing(listen_, stop.fd(), pause); });
  common::SleepMultiplier() = 1000;
  std::vector<std::string> replies;
  std::thread clients([&] {
    for (const char* request : {"PING\n", "ABOUT\n"}) {
      Client client(port_);
      client.Send(request);
      testsupport::WaitUntil([&] { return !client.Replies().empty(); });
      replies.push_back(client.Replies().empty() ? "(none)" : client.Replies()[0]);
    }
    stop.Set();
  });
  common::ScaledSleep(3600);  // an hour, unless served clients let it end
  clients.join();
  common::SleepMultiplier() = 0;
  common::SetPauseHook(former);

  ASSERT_EQ(replies.size(), 2u);
  EXPECT_TRUE(std::regex_match(replies[0], kPing)) << replies[0];
  EXPECT_NE(replies[1].find("\n"), std::string::npos) << replies[1];
}

TEST_F(CommandServerTest, APollingCycleEndsWhileNewClientsKeepArriving) {
  const common::PauseHook former = common::SetPauseHook(
      [&](std::chrono::milliseconds pause) { PauseServing(listen_, -1, pause); });
  common::SleepMultiplier() = 1;
  auto held = Connected();
  constexpr int kManyArrivals = 2000;  // far more than one cycle's pauses take in
  std::atomic<bool> cycle_ended = false;
  std::atomic<int> arrivals = 0;
  std::thread newcomers([&] {
    while (!cycle_ended && arrivals < kManyArrivals) {
      Client client(port_);
      client.Send("PING\n");
      testsupport::WaitUntil([&] { return !client.Replies().empty(); }, 5s);
      ++arrivals;
    }
  });
  ServeClients(listen_);
  cycle_ended = true;
  newcomers.join();
  common::SleepMultiplier() = 0;
  common::SetPauseHook(former);
  EXPECT_LT(arrivals, kManyArrivals);
}

TEST_F(CommandServerTest, OpenListenerResolvesAHostNameAndRefusesWhatNamesNoAddress) {
  common::TheAgentConfig().ListenAddress = "localhost";
  const int by_name = OpenListener(0);
  ASSERT_NE(by_name, kNoSocket);
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  getsockname(by_name, reinterpret_cast<sockaddr*>(&local), &length);
  EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
  close(by_name);

  for (const char* address : {"nosuchhost.invalid", "255.255.255.255"}) {
    common::TheAgentConfig().ListenAddress = address;
    EXPECT_EQ(OpenListener(0), kNoSocket) << address;
  }
  EXPECT_EQ(CountLines(Log(), "Error al llamar a bind: "), 2) << Log();
}

TEST_F(CommandServerTest, OpenListenerOnATakenPortFailsWithoutLeakingItsSocket) {
  const int before = OpenDescriptorCount();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(OpenListener(port_), kNoSocket);
  EXPECT_EQ(OpenDescriptorCount(), before);
  EXPECT_EQ(CountLines(Log(), "Error al llamar a bind: 98 - Error"), 20) << Log();

  close(listen_);
  listen_ = OpenListener(port_);
  EXPECT_NE(listen_, kNoSocket);
}

TEST_F(CommandServerTest, SendsALongReplyWholeToASlowReader) {
  // INFO whose network section is 8 MB, far more than the socket buffers hold.
  const std::string ip = home_.Path("ip");
  testsupport::WriteAll(ip, "#!/bin/sh\nhead -c 8000000 /dev/zero | tr '\\0' x\necho END\n");
  chmod(ip.c_str(), 0755);
  testsupport::ScopedEnv path("PATH", home_.path() + ":/usr/bin:/bin");

  auto server = std::make_unique<BackgroundServer>(listen_);
  Client client(port_, 4096);
  client.Send("INFO\n");
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!client.Pump() && !client.received().ends_with("END\n") &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{client.fd(), POLLIN, 0};
    poll(&pfd, 1, 100);
  }
  const bool whole = client.received().ends_with("END\n");
  server.reset();

  ASSERT_TRUE(whole);
  const std::string& reply = client.received();
  EXPECT_EQ(reply.substr(0, 3), std::string("\0--", 3));
  EXPECT_TRUE(reply.ends_with("Configuracao de Rede\r\n" + std::string(8000000, 'x') + "END\n"));
}

TEST_F(CommandServerTest, ProgramsTakeTurnsWhileRequestsThatRunNothingAreAnsweredAtOnce) {
  common::AgentConfig& config = common::TheAgentConfig();
  config.AllowRemoteExec = true;
  config.RemoteClientList = {"127.0.0.1"};
  config.LogLevel = 0;
  const std::string marks = home_.Path("marks");
  const std::string release = home_.Path("release");
  mkdir(home_.Path("Tasks").c_str(), 0755);
  testsupport::WriteAll(home_.Path("Tasks/gate.sh"),
                        "echo start $1 >> " + marks + "\nwhile [ ! -e " + release +
                            " ]; do sleep 0.02; done\necho end $1 >> " + marks + "\necho done $1\n");
  const BackgroundServer server(listen_);

  Client first(port_);
  first.Send("EXEC GATE.SH A\n");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::ReadAll(marks) == "start A\n"; }));
  first.Send("PING\n");  // on the same connection: answered after the program's reply
  Client second(port_);
  second.Send("EXEC GATE.SH B\n");
  for (int i = 0; i < 3; ++i) {
    Client bystander(port_);
    bystander.Send("PING\n");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !bystander.Replies().empty(); }));
    EXPECT_TRUE(std::regex_match(bystander.Replies()[0], kPing));
  }
  EXPECT_EQ(testsupport::ReadAll(marks), "start A\n");
  EXPECT_TRUE(first.Replies().empty());

  testsupport::WriteAll(release, "");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return first.Replies().size() == 2; }));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return second.Replies().size() == 1; }));
  EXPECT_EQ(first.Replies()[0], "done A\n");
  EXPECT_TRUE(std::regex_match(first.Replies()[1], kPing));
  EXPECT_EQ(second.Replies()[0], "done B\n");
  EXPECT_EQ(testsupport::ReadAll(marks), "start A\nend A\nstart B\nend B\n");
}

// Ten connections whose requests all wait for one program: a newcomer is
// still taken and answered, the request that came last giving way.
TEST_F(CommandServerTest, ANewcomerIsTakenWhileEveryHeldConnectionWaitsForAProgram) {
  common::AgentConfig& config = common::TheAgentConfig();
  config.AllowRemoteExec = true;
  config.RemoteClientList = {"127.0.0.1"};
  config.LogLevel = 2;  // each read is traced
  const std::string release = home_.Path("release");
  mkdir(home_.Path("Tasks").c_str(), 0755);
  testsupport::WriteAll(home_.Path("Tasks/gate.sh"),
                        "while [ ! -e " + release + " ]; do sleep 0.02; done\necho done $1\n");
  const BackgroundServer server(listen_);

  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 10; ++i) {
    held.push_back(std::make_unique<Client>(port_));
    held.back()->Send("EXEC GATE.SH " + std::to_string(i) + "\n");
    // Each request read before the next connects, so that the last one's
    // request is the last in line.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return CountLines(Log(), " IPADDR-") == i + 1; }));
  }
  Client newcomer(port_);
  newcomer.Send("PING\n");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !newcomer.Replies().empty(); }))
      << Log().substr(0, 2000);
  EXPECT_TRUE(std::regex_match(newcomer.Replies()[0], kPing));
  EXPECT_TRUE(held.back()->Pump());
  EXPECT_EQ(CountLines(Log(), "not run, connection closed"), 1) << Log().substr(0, 2000);

  testsupport::WriteAll(release, "");
  for (int i = 0; i < 9; ++i) {
    ASSERT_TRUE(testsupport::WaitUntil([&] { return held[i]->Replies().size() == 1; })) << i;
    EXPECT_EQ(held[i]->Replies()[0], "done " + std::to_string(i) + "\n");
  }
  EXPECT_TRUE(held.back()->Replies().empty());
}

TEST_F(CommandServerTest, AClientThatReadsNoReplyHoldsNoOneAndIsClosedOnceItStopsReading) {
  // INFO whose network section is 8 MB, far more than the socket buffers hold.
  const std::string ip = home_.Path("ip");
  testsupport::WriteAll(ip, "#!/bin/sh\nhead -c 8000000 /dev/zero | tr '\\0' x\n");
  chmod(ip.c_str(), 0755);
  testsupport::ScopedEnv path("PATH", home_.path() + ":/usr/bin:/bin");
  const BackgroundServer server(listen_);

  Client deaf(port_, 4096);
  deaf.Send("INFO\n");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return CountLines(Log(), "Process Cmd") == 1; }));
  // Its next request waits until it has read the reply before: it never does.
  deaf.Send("INFO\n");
  Client bystander(port_);
  for (size_t i = 1; i <= 3; ++i) {
    bystander.Send("PING\n");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return bystander.Replies().size() == i; }));
  }
  ASSERT_TRUE(testsupport::WaitUntil([&] { return CountLines(Log(), "not read for 30 s") == 1; },
                                     90s))
      << Log().substr(0, 2000);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return ConnectionCount() == 1; }));
  EXPECT_EQ(CountLines(Log(), "INFO"), 2) << Log().substr(0, 2000);  // its trace and its answer
}

TEST_F(CommandServerTest, ANewcomerIsTakenWithinASecondWhileTenPollersKeepEverySlotBusy) {
  const BackgroundServer server(listen_);
  std::vector<std::unique_ptr<Client>> pollers;
  for (int i = 0; i < 10; ++i) pollers.push_back(std::make_unique<Client>(port_));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return ConnectionCount() == 10; }));
  std::atomic<bool> polling = true;
  std::thread poll_thread([&] {
    std::vector<size_t> asked(pollers.size(), 0);
    while (polling) {
      for (size_t k = 0; k < pollers.size(); ++k) {
        // Each asks again once answered, so none is ever idle for long.
        if (pollers[k]->closed() || pollers[k]->Replies().size() < asked[k]) continue;
        pollers[k]->Send("PING\n");
        ++asked[k];
      }
      std::this_thread::sleep_for(5ms);
    }
  });
  Client newcomer(port_);
  newcomer.Send("PING\n");
  const bool answered = testsupport::WaitUntil([&] { return !newcomer.Replies().empty(); }, 30s);
  polling = false;
  poll_thread.join();
  ASSERT_TRUE(answered);
  EXPECT_TRUE(std::regex_match(newcomer.Replies()[0], kPing));
  EXPECT_EQ(CountLines(Log(), "idle for"), 1) << Log();
}

TEST_F(CommandServerTest, ALineLeftUnfinishedForTenSecondsClosesItsConnection) {
  const BackgroundServer server(listen_);
  Client trickler(port_);
  const auto started = std::chrono::steady_clock::now();
  // A byte every half second never ends the line.
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] {
        if (!trickler.Send("P")) return true;
        std::this_thread::sleep_for(500ms);
        return trickler.Pump();
      },
      60s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(CountLines(Log(), "not ended within 10 s"), 1) << Log();
}

TEST_F(CommandServerTest, TheTraceOfALineSentInPiecesGrowsWithTheLineNotItsSquare) {
  common::TheAgentConfig().LogLevel = 5;
  const BackgroundServer server(listen_);
  Client client(port_);
  const std::string line = "PUSHEVENTS " + std::string(500, 'e');
  for (size_t k = 0; k < line.size(); ++k) {
    client.Send(line.substr(k, 1));
    // Each byte is read on its own.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return CountLines(Log(), " IPADDR-") == int(k + 1); }));
  }
  client.Send("\n");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !client.Replies().empty(); }));
  // The whole line is logged once with its answer; each piece's trace is short.
  EXPECT_LT(Log().size(), 30 * line.size()) << Log().size();
}

}  // namespace
}  // namespace agent
