// Measures the agent's command protocol from outside: round trips of PING and
// RESUMEMON on one persistent connection and with a new connection per request,
// the request rate of several concurrent clients, and the agent's CPU time and
// resident memory over the run.
//
//   protocol_bench --port N [--pid PID] [--requests 300] [--clients 8] [--seconds 10]

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

namespace {

using bench::Clock;
using bench::ConnectLoopback;
using bench::SendAll;
constexpr auto kReplyTimeout = std::chrono::seconds(10);

struct Options {
  int port = 0;
  int pid = 0;
  int requests = 300;
  int clients = 8;
  int seconds = 10;  // length of the concurrent-clients phase
};

// How a complete reply is recognised: the protocol has no length field, so the
// reply's own form tells (PING: two date texts around " PONG "; RESUMEMON: its
// line count, learnt once from a first reply).
struct ReplyForm {
  bool ping = false;
  int line_ends = 0;  // CR LF count of a complete reply (0: the zero byte alone)
};

bool Complete(const std::string& reply, const ReplyForm& form) {
  if (reply.empty() || reply[0] != '\0') return false;
  const std::string_view text = std::string_view(reply).substr(1);
  if (form.ping) {
    const size_t pong = text.find(" PONG ");
    return pong != std::string_view::npos && text.size() >= 2 * pong + 6;
  }
  int count = 0;
  for (size_t at = text.find("\r\n"); at != std::string_view::npos;
       at = text.find("\r\n", at + 2)) {
    ++count;
  }
  return count >= form.line_ends;
}

// Reads until the reply is complete; false on timeout or a closed connection.
bool ReadReply(int fd, const ReplyForm& form, std::string& reply) {
  reply.clear();
  const auto deadline = Clock::now() + kReplyTimeout;
  char buffer[65536];
  while (!Complete(reply, form)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    reply.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

// One request on an open connection; the round trip in microseconds, or -1.
double RoundTrip(int fd, std::string_view request, const ReplyForm& form) {
  std::string reply;
  const auto start = Clock::now();
  if (!SendAll(fd, request) || !ReadReply(fd, form, reply)) return -1;
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// One request on a connection of its own, connect and close included.
double FreshRoundTrip(int port, std::string_view request, const ReplyForm& form) {
  const auto start = Clock::now();
  const int fd = ConnectLoopback(port);
  if (fd < 0) return -1;
  std::string reply;
  const bool ok = SendAll(fd, request) && ReadReply(fd, form, reply);
  close(fd);
  if (!ok) return -1;
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct AgentUsage {
  double cpu_seconds = 0;
  long rss_kib = 0;
  long peak_rss_kib = 0;
};

AgentUsage ReadUsage(int pid) {
  AgentUsage usage;
  if (pid <= 0) return usage;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t paren = line.rfind(')');
  if (paren != std::string::npos) {
    std::istringstream fields(line.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) {
        stime = std::stoull(field);
        break;
      }
    }
    usage.cpu_seconds =
        static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  usage.rss_kib = bench::ProcessStatusKiB(pid, "VmRSS").value_or(0);
  usage.peak_rss_kib = bench::ProcessStatusKiB(pid, "VmHWM").value_or(0);
  return usage;
}

void PrintLatencies(const char* label, const std::vector<double>& micros, int requests) {
  const int lost = requests - static_cast<int>(micros.size());
  if (micros.empty()) {
    std::printf("%-34s no reply (lost %d)\n", label, lost);
    return;
  }
  const bench::Figures figures = bench::Summarise(micros);
  std::printf("%-34s median %8.3f  p90 %8.3f  p99 %8.3f  max %8.3f ms  lost %d\n", label,
              figures.median / 1000.0, figures.p90 / 1000.0, figures.p99 / 1000.0,
              figures.max / 1000.0, lost);
}

std::vector<double> Persistent(const Options& options, std::string_view request,
                               const ReplyForm& form) {
  std::vector<double> micros;
  int fd = ConnectLoopback(options.port);
  for (int i = 0; i < options.requests; ++i) {
    if (fd < 0) fd = ConnectLoopback(options.port);
    const double us = fd < 0 ? -1 : RoundTrip(fd, request, form);
    if (us >= 0) {
      micros.push_back(us);
    } else if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
  return micros;
}

std::vector<double> Fresh(const Options& options, std::string_view request, const ReplyForm& form) {
  std::vector<double> micros;
  for (int i = 0; i < options.requests; ++i) {
    const double us = FreshRoundTrip(options.port, request, form);
    if (us >= 0) micros.push_back(us);
  }
  return micros;
}

// Learns the form of the RESUMEMON reply from one request: a waiting period
// long enough for any pacing, then the line ends counted.
ReplyForm LearnResumeMonForm(int port) {
  ReplyForm form;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return form;
  SendAll(fd, "RESUMEMON\n");
  std::string reply;
  const auto until = Clock::now() + std::chrono::seconds(3);
  char buffer[4096];
  while (Clock::now() < until) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 200) <= 0) {
      if (!reply.empty()) break;
      continue;
    }
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  for (size_t at = reply.find("\r\n"); at != std::string::npos; at = reply.find("\r\n", at + 2)) {
    ++form.line_ends;
  }
  return form;
}

// Each client sends PING after PING on its own connection until the phase ends.
void Concurrent(const Options& options) {
  const ReplyForm ping{true, 0};
  std::atomic<int> answered = 0;
  std::atomic<int> lost = 0;
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(options.seconds);
  for (int c = 0; c < options.clients; ++c) {
    clients.emplace_back([&] {
      int fd = ConnectLoopback(options.port);
      while (Clock::now() < end) {
        if (fd < 0) fd = ConnectLoopback(options.port);
        if (fd >= 0 && RoundTrip(fd, "PING\n", ping) >= 0) {
          ++answered;
        } else {
          ++lost;
          if (fd >= 0) close(fd);
          fd = -1;
        }
      }
      if (fd >= 0) close(fd);
    });
  }
  for (std::thread& t : clients) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-34s %8.0f requests/s  (%d answered, lost %d, %.2f s)\n",
              ("PING, " + std::to_string(options.clients) + " concurrent clients").c_str(),
              answered / seconds, answered.load(), lost.load(), seconds);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (name == "--port") options.port = value;
    if (name == "--pid") options.pid = value;
    if (name == "--requests") options.requests = value;
    if (name == "--clients") options.clients = value;
    if (name == "--seconds") options.seconds = value;
  }
  if (options.port <= 0) {
    std::fprintf(stderr,
                 "usage: %s --port N [--pid PID] [--requests 300] [--clients 8] [--seconds 10]\n",
                 argv[0]);
    return 2;
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as each phase ends
  const AgentUsage before = ReadUsage(options.pid);
  const ReplyForm ping{true, 0};
  const ReplyForm resumemon = LearnResumeMonForm(options.port);
  std::printf("RESUMEMON reply: %d lines\n", resumemon.line_ends);

  PrintLatencies("PING, persistent connection", Persistent(options, "PING\n", ping),
                 options.requests);
  PrintLatencies("PING, new connection", Fresh(options, "PING\n", ping), options.requests);
  PrintLatencies("RESUMEMON, persistent connection", Persistent(options, "RESUMEMON\n", resumemon),
                 options.requests);
  PrintLatencies("RESUMEMON, new connection", Fresh(options, "RESUMEMON\n", resumemon),
                 options.requests);
  Concurrent(options);

  if (options.pid > 0) {
    const AgentUsage after = ReadUsage(options.pid);
    std::printf(
        "agent CPU time over the run: %.2f s; resident memory %ld KiB (was %ld, peak %ld)\n",
        after.cpu_seconds - before.cpu_seconds, after.rss_kib, before.rss_kib, after.peak_rss_kib);
  }
  return 0;
}
