// Scrapes of the running agent's metrics endpoint against a node exporter's on
// the same machine, in one run: each on a kept connection with the request
// Prometheus 2.42 sends (OpenMetrics asked for, gzip allowed), taken in turns,
// timed from the request's first byte to the answer's last. Then the agent's
// command port: PING round trips on a kept connection alone, beside slow
// scrapers (a head sent a byte a second, answers read a byte a second), and
// beside a client scraping as fast as it can.
//
//   metrics_scrape_bench AGENT [--scrapes 2000] [--pings 2000]
//                        [--exporter /usr/bin/prometheus-node-exporter]
//
// The node exporter is Debian's prometheus-node-exporter, installed by hand for
// the benchmark; the bench starts it on a free port and stops it after. Without
// it, the agent's figures alone are printed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

namespace {

using bench::Clock;

constexpr const char* kAccept =
    "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
    "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1";

std::string ScrapeRequest(int port) {
  return "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUser-Agent: Prometheus/2.42.0\r\nAccept: " + kAccept +
         "\r\nAccept-Encoding: gzip\r\nX-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";
}

// Whether the bytes hold one whole answer: its head, then Content-Length
// bytes or, chunked, up to the last chunk.
bool AnswerComplete(const std::string& bytes) {
  const size_t head_end = bytes.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  const std::string head = bytes.substr(0, head_end);
  const size_t length = head.find("Content-Length: ");
  if (length != std::string::npos) {
    return bytes.size() >= head_end + 4 + std::strtoul(head.c_str() + length + 16, nullptr, 10);
  }
  return bytes.size() >= head_end + 9 && bytes.ends_with("\r\n0\r\n\r\n");
}

// A client scraping on one kept connection.
class Scraper {
 public:
  explicit Scraper(int port) : port_(port), request_(ScrapeRequest(port)) {}
  ~Scraper() {
    if (fd_ >= 0) close(fd_);
  }
  // One scrape; its time in ms, or nothing when it failed. The answer's size
  // goes to bytes.
  std::optional<double> Scrape(size_t& bytes) {
    if (fd_ < 0) fd_ = bench::ConnectLoopback(port_);
    if (fd_ < 0) return std::nullopt;
    const auto start = Clock::now();
    std::string answer;
    char buffer[65536];
    bool ok = bench::SendAll(fd_, request_);
    while (ok && !AnswerComplete(answer)) {
      pollfd waiting{fd_, POLLIN, 0};
      const ssize_t n = poll(&waiting, 1, 10000) > 0 ? recv(fd_, buffer, sizeof(buffer), 0) : -1;
      if (n > 0) answer.append(buffer, static_cast<size_t>(n));
      ok = n > 0;
    }
    if (!ok) {
      close(fd_);
      fd_ = -1;
      return std::nullopt;
    }
    bytes = answer.size();
    return bench::MsSince(start);
  }

 private:
  int port_;
  std::string request_;
  int fd_ = -1;
};

// A program started with its output thrown away, killed and reaped at the end.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    pid_ = fork();
    if (pid_ != 0) return;
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ~Program() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

 private:
  pid_t pid_ = -1;
};

void Print(const char* what, const bench::Figures& f, size_t bytes) {
  std::printf("%-44s median %7.3f  p99 %7.3f  max %7.3f ms  (%zu bytes, %zu scrapes)\n", what,
              f.median, f.p99, f.max, bytes, f.count);
}

// Slow scrapers for as long as `running` holds: one sends a scrape's head a
// byte a second, one asks for twenty scrapes at once and reads a byte a second.
std::array<std::thread, 2> SlowScrapers(int port, const std::atomic<bool>& running) {
  std::thread slow_head([port, &running] {
    const std::string head = ScrapeRequest(port);
    int fd = -1;
    for (size_t k = 0; running; k = (k + 1) % head.size()) {
      if (fd < 0 || k == 0) {
        if (fd >= 0) close(fd);
        fd = bench::ConnectLoopback(port);
      }
      if (fd >= 0 && send(fd, &head[k], 1, MSG_NOSIGNAL) != 1) {
        close(fd);
        fd = -1;
      }
      for (int t = 0; t < 10 && running; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fd >= 0) close(fd);
  });
  std::thread slow_reader([port, &running] {
    int fd = -1;
    while (running) {
      if (fd < 0) {
        fd = bench::ConnectLoopback(port);
        std::string requests;
        for (int k = 0; k < 20; ++k) requests += ScrapeRequest(port);
        if (fd >= 0) bench::SendAll(fd, requests);
      }
      char byte;
      if (fd >= 0 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
        close(fd);
        fd = -1;
      }
      for (int t = 0; t < 10 && running; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fd >= 0) close(fd);
  });
  return {std::move(slow_head), std::move(slow_reader)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT [--scrapes N] [--pings N] [--exporter PATH]\n", argv[0]);
    return 2;
  }
  int scrapes = 2000;
  int pings = 2000;
  std::string exporter = "/usr/bin/prometheus-node-exporter";
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--scrapes") == 0) scrapes = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--pings") == 0) pings = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--exporter") == 0) exporter = argv[i + 1];
  }

  const int port = bench::FreeLoopbackPort();
  int metrics_port = bench::FreeLoopbackPort();
  while (metrics_port == port) metrics_port = bench::FreeLoopbackPort();
  bench::AgentService agent(
      argv[1], "LISTEN=127.0.0.1\r\nPORT=" + std::to_string(port) + "\r\nMETRICSPORT=" +
                   std::to_string(metrics_port) +
                   "\r\nRRDTOOL=FALSE\r\nNETMON=TRUE\r\nPERIODOBASE=2000\r\n"
                   "PERFORMANCEMON1=238|% Processor Time|_Total|CPU\r\nLOGLEVEL=0");
  if (!agent.Installed() || !agent.StartServing(port)) {
    std::fprintf(stderr, "error: the agent service did not start\n");
    return 1;
  }
  platform::DWORD pid = 0;
  agent.State(&pid);

  Scraper agent_scraper(metrics_port);
  size_t agent_bytes = 0;
  // The first pass ends within seconds; until then the answer is short.
  for (int k = 0; k < 300 && agent_bytes < 2000; ++k) {
    agent_scraper.Scrape(agent_bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  const bool have_exporter = access(exporter.c_str(), X_OK) == 0;
  const int exporter_port = bench::FreeLoopbackPort();
  std::optional<Program> exporter_program;
  Scraper exporter_scraper(exporter_port);
  size_t exporter_bytes = 0;
  if (have_exporter) {
    exporter_program.emplace(std::vector<std::string>{
        exporter, "--web.listen-address=127.0.0.1:" + std::to_string(exporter_port)});
    for (int k = 0; k < 300 && !exporter_scraper.Scrape(exporter_bytes); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  } else {
    std::printf("(%s not found: install prometheus-node-exporter for the comparison)\n",
                exporter.c_str());
  }

  // Scrapes in turns, after a few to warm up.
  bench::Series agent_times;
  bench::Series exporter_times;
  int failed = 0;
  const double cpu_before = bench::ProcessCpuSeconds(static_cast<int>(pid)).value_or(0);
  for (int k = -20; k < scrapes; ++k) {
    const auto agent_ms = agent_scraper.Scrape(agent_bytes);
    if (k >= 0 && agent_ms) agent_times.Add(*agent_ms);
    failed += !agent_ms;
    if (!have_exporter) continue;
    const auto exporter_ms = exporter_scraper.Scrape(exporter_bytes);
    if (k >= 0 && exporter_ms) exporter_times.Add(*exporter_ms);
    failed += !exporter_ms;
  }
  const double cpu_used = bench::ProcessCpuSeconds(static_cast<int>(pid)).value_or(0) - cpu_before;

  std::printf("== /metrics as Prometheus asks for it, kept connection, %d scrapes each\n", scrapes);
  const bench::Figures agent_figures = agent_times.Summary();
  Print("agent (OpenMetrics, gzip)", agent_figures, agent_bytes);
  if (have_exporter) {
    const bench::Figures exporter_figures = exporter_times.Summary();
    Print("prometheus-node-exporter (its default, gzip)", exporter_figures, exporter_bytes);
    std::printf("agent median / node exporter median: %.3f\n",
                agent_figures.median / exporter_figures.median);
  }
  std::printf("agent CPU per scrape (whole process over the run): %.3f ms; failed scrapes %d\n",
              1000.0 * cpu_used / (scrapes + 20), failed);

  // The command port alone, beside slow scrapers, beside a fast one.
  std::printf("== command port: PING on a kept connection, %d each\n", pings);
  const auto count = [pings](int asked) { return asked < pings; };
  int lost = 0;
  bench::Figures figures = bench::KeptConnectionPings(port, count, {}, lost);
  bench::PrintRoundTrips("alone", figures, lost);
  {
    std::atomic<bool> running = true;
    std::array<std::thread, 2> slow = SlowScrapers(metrics_port, running);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    figures = bench::KeptConnectionPings(port, count, {}, lost);
    running = false;
    for (std::thread& thread : slow) thread.join();
    bench::PrintRoundTrips("beside two slow scrapers", figures, lost);
  }
  {
    std::atomic<bool> running = true;
    std::atomic<long> scraped = 0;
    std::thread fast([&] {
      Scraper scraper(metrics_port);
      size_t bytes = 0;
      while (running) scraped += scraper.Scrape(bytes).has_value();
    });
    figures = bench::KeptConnectionPings(port, count, {}, lost);
    running = false;
    fast.join();
    bench::PrintRoundTrips("beside a client scraping without pause", figures, lost);
    std::printf("  (%ld scrapes meanwhile)\n", scraped.load());
  }
  return failed == 0 ? 0 : 1;
}
