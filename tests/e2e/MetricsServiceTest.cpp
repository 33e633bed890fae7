// The metrics endpoint of the running agent service: a real Prometheus stores
// what RESUMEMON answers at the same sampling pass, promtool finds nothing
// wrong in either format, bad input gets a clear answer while the command port
// keeps answering, the endpoint listens only when configured, and a real
// browser loads the agent's page with its graphs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"
#include "tests/support/HttpClient.h"
#include "tests/support/PrometheusServer.h"
#include "tests/support/TcpClient.h"

namespace e2e {
namespace {

using namespace std::string_literals;
using testsupport::AgentRequest;
using testsupport::HttpGet;
using testsupport::TestClock;
using testsupport::WaitUntil;

constexpr auto kLongWait = std::chrono::seconds(90);

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The values of a RESUMEMON record by name.
std::map<std::string, std::string> RecordFields(const std::string& record) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

// The TCP ports the process listens on (its sockets in LISTEN state).
std::set<int> ListeningPorts(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::set<std::string> inodes;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::set<int> ports;
  std::istringstream table(testsupport::ReadAll(proc + "/net/tcp"));
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (state == "0A" && inodes.count(inode) != 0) {
      ports.insert(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return ports;
}

// The files opened in some folders while the object lives (inotify).
class OpenWatch {
 public:
  explicit OpenWatch(const std::vector<std::string>& folders)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const std::string& folder : folders) {
      folder_of_[inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ACCESS)] = folder;
    }
  }
  ~OpenWatch() { close(fd_); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  // The paths opened or read so far.
  std::set<std::string> Opened() {
    alignas(inotify_event) char buffer[65536];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof(buffer))) > 0) {
      for (char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0) opened_.insert(folder_of_[event->wd] + "/" + event->name);
        at += sizeof(inotify_event) + event->len;
      }
    }
    return opened_;
  }

 private:
  int fd_;
  std::map<int, std::string> folder_of_;
  std::set<std::string> opened_;
};

// What a raw exchange with the endpoint brought: the bytes received and
// whether the endpoint closed (or reset) the connection.
struct Outcome {
  std::string Received;
  bool Closed = false;

  int Status() const {
    const auto answer = testsupport::ParseHttpResponse(Received);
    return answer ? answer->Status : 0;
  }
};

// Reads until the endpoint closes the connection or the deadline passes.
Outcome ReadToClose(int fd, TestClock::time_point deadline) {
  Outcome outcome;
  char buffer[65536];
  while (TestClock::now() < deadline) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n > 0) {
      outcome.Received.append(buffer, static_cast<size_t>(n));
      continue;
    }
    outcome.Closed = n == 0 || errno == ECONNRESET;
    break;
  }
  return outcome;
}

// Sends the bytes on a new connection and reads until it closes.
Outcome Exchange(int port, std::string_view bytes) {
  const auto deadline = TestClock::now() + kLongWait;
  const int fd = testsupport::ConnectLoopback(port, deadline);
  if (fd < 0) return {};
  testsupport::SendAll(fd, bytes);
  Outcome outcome = ReadToClose(fd, deadline);
  close(fd);
  return outcome;
}

class MetricsServiceTest : public ::testing::Test {
 protected:
  // Starts the agent at the default pacing with the endpoint on a free port
  // and waits until the first sampling pass has ended.
  void Start(std::vector<std::string> lines) {
    do {
      metrics_port_ = testsupport::FreeTcpPort();
    } while (metrics_port_ == install_.port());
    lines.insert(lines.begin(), {"NETMON=TRUE", "PERIODOBASE=2000", "LOGLEVEL=1",
                                 "PERFORMANCEMON1=238|% Processor Time|_Total|CPU",
                                 "METRICSPORT=" + std::to_string(metrics_port_)});
    install_.WriteConfig(lines);
    pid_ = install_.StartAgentService();
    ASSERT_GT(pid_, 0) << install_.Log();
    ASSERT_TRUE(WaitUntil(
        [this] {
          const auto scrape = HttpGet(metrics_port_, "/metrics");
          return scrape && scrape->Body.find("\ntarvo_processes ") != std::string::npos;
        },
        kLongWait))
        << install_.Log();
  }

  AgentInstall install_;
  int metrics_port_ = 0;
  pid_t pid_ = 0;
};

// One RESUMEMON reply and when it was asked for and received (seconds since 1970).
struct Reading {
  double Asked;
  double Received;
  std::map<std::string, std::string> Fields;
};

TEST_F(MetricsServiceTest, PrometheusStoresWhatResumeMonAnswersAtTheSamePass) {
  Start({"RRDTOOL=FALSE"});
  const std::string target = "127.0.0.1:" + std::to_string(metrics_port_);
  testsupport::PrometheusServer prometheus({target}, /*file_discovery=*/true);
  ASSERT_TRUE(prometheus.Started()) << prometheus.Log();
  const auto up = prometheus.WaitForSamples("up{job=\"tarvo\"} == 1");
  ASSERT_EQ(up.size(), 1u) << prometheus.Log();
  EXPECT_EQ(up[0].Labels.at("instance"), target);
  ASSERT_FALSE(prometheus.WaitForSamples("tarvo_perfmon_value{slot=\"1\"}").empty());

  // RESUMEMON asked over and over while Prometheus scrapes every second.
  std::vector<Reading> readings;
  const double from = UnixNow();
  while (UnixNow() < from + 8) {
    const double asked = UnixNow();
    const auto record = AgentRequest(install_.port(), "RESUMEMON\n");
    ASSERT_TRUE(record);
    readings.push_back({asked, UnixNow(), RecordFields(*record)});
  }

  // What Prometheus stored for each scrape of that time, by the scrape's time.
  const std::map<std::string, std::string> kStored = {
      {"PROCS", "tarvo_processes"},
      {"MEMORYRAM", "tarvo_memory_ram_available_bytes"},
      {"PERFMON1", "tarvo_perfmon_value{slot=\"1\",counter=\"% Processor Time\"}"}};
  std::map<std::string, std::map<double, double>> stored;
  for (const auto& [field, series] : kStored) {
    const auto result = prometheus.QuerySeries(series + "[30s]");
    ASSERT_TRUE(result && result->size() == 1) << series;
    for (const auto& [time, value] : (*result)[0].Samples) stored[field][time] = value;
  }
  const auto durations = prometheus.QuerySeries("scrape_duration_seconds{job=\"tarvo\"}[30s]");
  ASSERT_TRUE(durations && durations->size() == 1);

  // A scrape builds its answer between its time and its end. When the replies
  // received before it and asked for after it agree, the snapshot did not
  // change meanwhile (a pass changes each value once), so the scrape saw the
  // same values; Prometheus stores times in whole milliseconds, hence the margin.
  int compared = 0;
  for (const auto& [time, duration] : (*durations)[0].Samples) {
    if (time < from) continue;
    const Reading* before = nullptr;
    const Reading* after = nullptr;
    for (const Reading& reading : readings) {
      if (reading.Received <= time) before = &reading;
      if (after == nullptr && reading.Asked >= time + duration + 0.002) after = &reading;
    }
    if (before == nullptr || after == nullptr) continue;
    bool steady = true;
    for (const auto& [field, series] : kStored) {
      steady = steady && before->Fields.at(field) == after->Fields.at(field) &&
               stored[field].count(time) != 0;
    }
    if (!steady) continue;
    ++compared;
    for (const auto& [field, series] : kStored) {
      EXPECT_EQ(stored[field][time], std::stod(before->Fields.at(field)))
          << field << " at " << std::fixed << time;
    }
  }
  EXPECT_GE(compared, 3) << readings.size() << " readings";
}

TEST_F(MetricsServiceTest, PromtoolFindsNothingWrongInEitherFormat) {
  Start({"RRDTOOL=FALSE"});
  const auto text = HttpGet(metrics_port_, "/metrics");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Headers.at("content-type"), "text/plain; version=0.0.4; charset=utf-8");
  const auto lint = testsupport::PromtoolCheckMetrics(text->Body);
  EXPECT_EQ(lint.exit_code, 0) << lint.output << text->Body;
  EXPECT_EQ(lint.output, "");

  const auto open = HttpGet(metrics_port_, "/metrics",
                            "Accept: application/openmetrics-text;version=1.0.0\r\n");
  ASSERT_TRUE(open);
  EXPECT_EQ(open->Headers.at("content-type"),
            "application/openmetrics-text; version=1.0.0; charset=utf-8");
  EXPECT_TRUE(open->Body.ends_with("\n# EOF\n"));
  const auto read = testsupport::PromtoolReadOpenMetrics(open->Body);
  EXPECT_EQ(read.exit_code, 0) << read.output << open->Body;
}

// Hostile and broken clients all at once, while a command client keeps asking.
TEST_F(MetricsServiceTest, BadInputGetsAClearAnswerAndTheCommandPortKeepsAnswering) {
  // Files a crafted path might reach: none may be opened.
  std::filesystem::create_directories(install_.Path("RRDTOOL"));
  testsupport::WriteAll(install_.Path("secret.txt"), "secret");
  testsupport::WriteAll(install_.Path("RRDTOOL/secret.txt"), "secret");
  Start({"RRDTOOL=TRUE"});
  OpenWatch watch({install_.folder(), install_.Path("RRDTOOL")});

  std::mutex mutex;
  std::condition_variable changed;
  bool over = false;
  // Paces a slow client: false once the slow clients are to stop.
  const auto pace = [&] {
    std::unique_lock lock(mutex);
    return !changed.wait_for(lock, std::chrono::seconds(1), [&] { return over; });
  };

  std::atomic<int> pings = 0;
  std::atomic<int> failed_pings = 0;
  std::atomic<bool> commands_over = false;
  std::thread command_client([&] {
    while (!commands_over) {
      (AgentRequest(install_.port(), "PING\n") ? pings : failed_pings) += 1;
    }
  });

  // A head sent a byte a second: closed once its 10 s are up, unanswered.
  Outcome slow_head;
  std::thread slow_sender([&] {
    const int fd = testsupport::ConnectLoopback(metrics_port_, TestClock::now() + kLongWait);
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: agent\r\nAccept: */*\r\n\r\n";
    char byte;
    for (size_t k = 0; k < head.size() && pace(); ++k) {
      const ssize_t peeked = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (peeked == 0 || (peeked < 0 && errno != EAGAIN)) break;
      if (send(fd, &head[k], 1, MSG_NOSIGNAL) != 1) break;
    }
    slow_head = ReadToClose(fd, TestClock::now() + kLongWait);
    close(fd);
  });

  // Twenty scrapes asked at once and their answers read a byte a second.
  std::string slow_read;
  std::thread slow_reader([&] {
    const int fd = testsupport::ConnectLoopback(metrics_port_, TestClock::now() + kLongWait);
    std::string requests;
    for (int k = 0; k < 20; ++k) requests += "GET /metrics HTTP/1.1\r\nHost: agent\r\n\r\n";
    testsupport::SendAll(fd, requests);
    char byte;
    while (pace()) {
      pollfd waiting{fd, POLLIN, 0};
      if (poll(&waiting, 1, 30000) <= 0 || recv(fd, &byte, 1, 0) != 1) break;
      slow_read += byte;
    }
    close(fd);
  });

  // Each gets its status, then the connection closes.
  const std::vector<std::pair<std::string, int>> requests = {
      {"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03 not HTTP at all\r\n\r\n"s, 400},
      {"GET /metrics\0 HTTP/1.1\r\nHost: agent\r\n\r\n"s, 400},
      {"GET /metrics HTTP/1.1\r\nHost: a\0gent\r\n\r\n"s, 400},
      {"GET /" + std::string(1 << 20, 'm') + " HTTP/1.1\r\nHost: agent\r\n\r\n", 414},
      {"GET /metrics HTTP/1.1\r\nHost: agent\r\nX: " + std::string(9000, 'x') + "\r\n\r\n", 431},
      {"GET /metrics HTTP/1.1\r\nHost: agent\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"GET /metrics HTTP/1.1\r\nHost: agent\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"POST /metrics HTTP/1.1\r\nHost: agent\r\nConnection: close\r\n\r\n", 405},
      {"GET /metrics HTTP/2.0\r\nHost: agent\r\n\r\n", 505},
  };
  for (const auto& [request, status] : requests) {
    const Outcome outcome = Exchange(metrics_port_, request);
    EXPECT_EQ(outcome.Status(), status) << request.substr(0, 60) << "\n" << outcome.Received;
    EXPECT_TRUE(outcome.Closed) << request.substr(0, 60);
  }
  for (const char* path :
       {"/../secret.txt", "/graphs/../secret.txt", "/graphs/..%2fsecret.txt",
        "/graphs/%2e%2e/TarvoAgent.cfg", "/%2e%2e/%2e%2e/etc/passwd", "/graphs/secret.txt",
        "/graphs/CPU-6Horas.gif/../../TarvoAgent.cfg", "/graphs/CPU-6Horas.gif%00.txt",
        "/RRDTOOL/secret.txt", "/TarvoAgent.cfg", "//etc/passwd"}) {
    const Outcome outcome =
        Exchange(metrics_port_, "GET " + std::string(path) + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(outcome.Status(), 404) << path;
  }

  // The slow head is closed by its time limit; then the slow reader goes.
  slow_sender.join();
  {
    const std::lock_guard lock(mutex);
    over = true;
  }
  changed.notify_all();
  slow_reader.join();

  // A hundred connections at once, each asking once: an answer, or a close
  // without a word for those that made room for later ones.
  std::vector<int> crowd;
  for (int k = 0; k < 100; ++k) {
    crowd.push_back(testsupport::ConnectLoopback(metrics_port_, TestClock::now() + kLongWait));
  }
  for (const int fd : crowd) testsupport::SendAll(fd, "GET /metrics HTTP/1.0\r\n\r\n");
  int answered = 0;
  for (const int fd : crowd) {
    const Outcome outcome = ReadToClose(fd, TestClock::now() + kLongWait);
    close(fd);
    EXPECT_TRUE(outcome.Closed);
    EXPECT_TRUE(outcome.Received.empty() || outcome.Status() == 200) << outcome.Received;
    answered += outcome.Status() == 200;
  }
  EXPECT_GE(answered, 10);

  commands_over = true;
  command_client.join();

  EXPECT_TRUE(slow_head.Closed);
  EXPECT_EQ(slow_head.Received, "");
  // What the slow reader took meanwhile, a byte a second, began an answer.
  EXPECT_FALSE(slow_read.empty());
  EXPECT_TRUE(std::string_view("HTTP/1.1 200 OK\r\n").starts_with(slow_read.substr(0, 17)))
      << slow_read;
  EXPECT_EQ(failed_pings, 0);
  EXPECT_GT(pings, 0);
  // Nothing but the answers was read, and the endpoint still serves.
  for (const std::string& opened : watch.Opened()) {
    EXPECT_EQ(opened, install_.Path("TarvoAgent.log"));
  }
  const auto scrape = HttpGet(metrics_port_, "/metrics");
  ASSERT_TRUE(scrape);
  EXPECT_EQ(scrape->Status, 200);
  EXPECT_TRUE(testsupport::ProcessAlive(pid_));
}

TEST_F(MetricsServiceTest, APortInUseIsRetriedEachTurnAndNeverStopsTheCommandPort) {
  // Another program holds the endpoint's port when the agent starts.
  int held_port = 0;
  const int holder = testsupport::ListenLoopback(held_port);
  ASSERT_GE(holder, 0);
  install_.WriteConfig({"RRDTOOL=FALSE", "LOGLEVEL=1", "METRICSPORT=" + std::to_string(held_port)});
  const pid_t pid = install_.StartAgentService();
  ASSERT_GT(pid, 0);

  // Several turns pass; the command port answers, the failure is logged once.
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(AgentRequest(install_.port(), "RESUMEMON\n", kLongWait)) << install_.Log();
  }
  const std::string failure = " metrics endpoint cannot listen on 127.0.0.1:" +
                              std::to_string(held_port) + ": bind: Address already in use (98)";
  EXPECT_EQ(install_.Log().find(failure), install_.Log().rfind(failure)) << install_.Log();
  EXPECT_NE(install_.Log().find(failure), std::string::npos) << install_.Log();
  EXPECT_EQ(ListeningPorts(pid), std::set<int>{install_.port()});

  // Once the port is free a later turn takes it.
  close(holder);
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto scrape = HttpGet(held_port, "/metrics", {}, std::chrono::milliseconds(200));
        return scrape && scrape->Status == 200;
      },
      kLongWait))
      << install_.Log();
  EXPECT_EQ(ListeningPorts(pid), (std::set<int>{install_.port(), held_port}));
  EXPECT_NE(install_.Log().find(" metrics endpoint listening on 127.0.0.1:" +
                                std::to_string(held_port)),
            std::string::npos);
}

TEST(MetricsEndpointOff, WithoutMetricsPortOnlyTheCommandPortListens) {
  AgentInstall install;
  install.WriteConfig({"RRDTOOL=FALSE"});
  const pid_t pid = install.StartAgentService();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AgentRequest(install.port(), "RESUMEMON\n", kLongWait));
  EXPECT_EQ(ListeningPorts(pid), std::set<int>{install.port()});
}

// Draws the six graph images of the RRD feed into folder with rrdtool, from an
// hour of samples, as the feed's graph script does every five minutes.
void DrawGraphs(const std::string& folder) {
  const long now = static_cast<long>(UnixNow());
  std::string updates;
  for (long t = now - 3540; t <= now; t += 60) {
    updates += " " + std::to_string(t) + ":" + std::to_string(40 + (t / 60) % 7 * 5);
  }
  std::string script = "cd '" + folder + "' && rrdtool create feed.rrd --start " +
                       std::to_string(now - 3600) +
                       " --step 60 DS:v:GAUGE:120:0:U RRA:AVERAGE:0.5:1:120 && "
                       "rrdtool update feed.rrd" + updates;
  for (const char* name : {"CPU", "MEM", "DSKC", "DSKD", "DSKE", "NET"}) {
    script += std::string(" && rrdtool graph ") + name +
              "-6Horas.gif --start -3600 -l 0 DEF:v=feed.rrd:v:AVERAGE LINE2:v#0060C0:" + name +
              " >/dev/null";
  }
  const auto drawn = testsupport::RunProgram({"/bin/sh", "-c", script});
  ASSERT_EQ(drawn.exit_code, 0) << drawn.output;
}

TEST_F(MetricsServiceTest, ABrowserLoadsThePageWithEveryGraph) {
  if (!std::filesystem::exists("/usr/bin/chromium")) {
    GTEST_SKIP() << "chromium is not installed (scripts/setup-deps.sh installs it)";
  }
  std::filesystem::create_directories(install_.Path("RRDTOOL"));
  DrawGraphs(install_.Path("RRDTOOL"));
  Start({"RRDTOOL=TRUE"});
  OpenWatch watch({install_.Path("RRDTOOL")});

  // The page as the browser has it once loaded, images included.
  const testsupport::TempFolder profile;
  const auto browser = testsupport::RunProgram(
      {"/bin/sh", "-c",
       "exec timeout 120 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
       "--no-first-run --disable-background-networking --disable-component-update "
       "--disable-sync --user-data-dir='" + profile.path() + "' --dump-dom http://127.0.0.1:" +
           std::to_string(metrics_port_) + "/ 2>/dev/null"});
  ASSERT_EQ(browser.exit_code, 0) << browser.output;
  EXPECT_NE(browser.output.find("<a href=\"/metrics\">/metrics</a>"), std::string::npos)
      << browser.output;

  // Every graph of the page was fetched by the browser and is an image.
  const std::regex image(R"re(<img src="/graphs/([^"]+)")re");
  std::set<std::string> shown;
  for (std::sregex_iterator it(browser.output.begin(), browser.output.end(), image), end;
       it != end; ++it) {
    shown.insert((*it)[1]);
  }
  EXPECT_EQ(shown, (std::set<std::string>{"CPU-6Horas.gif", "MEM-6Horas.gif", "DSKC-6Horas.gif",
                                          "DSKD-6Horas.gif", "DSKE-6Horas.gif", "NET-6Horas.gif"}));
  const std::set<std::string> opened = watch.Opened();
  for (const std::string& name : shown) {
    EXPECT_EQ(opened.count(install_.Path("RRDTOOL/" + name)), 1u) << name;
    const auto graph = HttpGet(metrics_port_, "/graphs/" + name);
    ASSERT_TRUE(graph);
    EXPECT_EQ(graph->Status, 200);
    EXPECT_EQ(graph->Headers.at("content-type"), "image/png");
    EXPECT_TRUE(graph->Body.starts_with("\x89PNG\r\n\x1a\n")) << name;
  }
}

}  // namespace
}  // namespace e2e
