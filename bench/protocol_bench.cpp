// Measures the agent's command protocol from outside: round trips of PING and
// RESUMEMON on persistent connections and with a new connection per request,
// by one client and by several at once, a burst of many clients each making
// new connections, the request rate of several concurrent clients, and the
// agent's CPU time and resident memory over the run.
//
//   protocol_bench --port N [--pid PID] [--requests 300] [--clients 8] [--seconds 10]
//                  [--burst 50] [--burst-rounds 20]
//
// Further phases, each on its own:
//   --task NAME        the round trips while another client's EXEC NAME runs
//                      (the task should run for several seconds)
//   --hostile SECONDS  three clients that never read their replies and ten that
//                      trickle a byte every half second, beside a bystander
//                      whose PINGs (new and persistent connections) are timed
//   --soak SECONDS     8 clients polling RESUMEMON on persistent connections
//   --zabbix           the peer agent: its passive check agent.ping on new
//                      connections (a 13-byte header and the key), by 1 and
//                      by --clients clients
//   --tls-port N --tls-folder DIR [--tls-label TEXT]
//                      PING over TLS with a client certificate (the files of
//                      --make-certificates in DIR): a new connection with a full
//                      handshake, one that resumes a session, and a persistent
//                      connection, beside PING on the clear-text port
//   --half-done N      with --tls-port: N connections to the TLS port that
//                      leave their handshake half done (opened again whenever
//                      the agent closes one) while --clients clients poll PING
//                      on persistent connections, in clear text and over TLS
//
// With --make-certificates DIR it writes an authority (ca.pem), the agent's
// certificates (server.pem with an ECDSA P-256 key, server-rsa.pem with an RSA
// 2048 key) and a client certificate (client.pem) with their keys into DIR.
//
// With --stop-rounds it instead installs the agent program given by --agent as
// a service of its own, and times stops of the serving agent taken at random
// moments of its passes:
//
//   protocol_bench --agent PATH --stop-rounds 10 [--period 2000]

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/TlsContext.h"
#include "common/TlsSession.h"
#include "platform/ServiceManager.h"
#include "tests/support/TestCertificates.h"
#include "tools/AgentConnection.h"

namespace {

using bench::Clock;
using bench::ConnectLoopback;
using bench::SendAll;
constexpr auto kReplyTimeout = std::chrono::seconds(10);

struct Options {
  int port = 0;
  int pid = 0;
  int requests = 300;  // per client
  int clients = 8;
  int seconds = 10;   // length of the concurrent-clients phase
  int burst = 50;     // clients of the burst phase, each making new connections
  int burst_rounds = 20;
  std::string agent;  // the agent program, for the stop rounds
  int stop_rounds = 0;
  std::string period = "2000";
  std::string task;     // EXEC'd beside the measurement
  int hostile = 0;      // seconds of the hostile-clients phase
  int soak = 0;         // seconds of the long polling phase
  bool zabbix = false;  // the port is a zabbix agent's
  int tls_port = 0;     // the agent's TLS port
  std::string tls_folder;          // the files of --make-certificates
  std::string tls_label = "TLS";   // names the agent's key in the figures
  int half_done = 0;    // handshakes left half done beside the pollers
  std::string make_certificates;   // folder to write the test certificates into
};

// How a complete reply is recognised: the protocol has no length field, so the
// reply's own form tells (PING: two date texts around " PONG "; RESUMEMON: its
// line count, learnt once from a first reply).
struct ReplyForm {
  bool ping = false;
  int line_ends = 0;  // CR LF count of a complete reply (0: the zero byte alone)
  bool zabbix = false;  // a zabbix passive-check reply: header, length, value
};

// A zabbix passive check: "ZBXD", flags 1, the key's length (8 bytes, little
// endian) and the key.
std::string ZabbixRequest(std::string_view key) {
  std::string request = "ZBXD\x01";
  for (int k = 0; k < 8; ++k) request += static_cast<char>((key.size() >> (8 * k)) & 0xff);
  return request += key;
}

bool Complete(const std::string& reply, const ReplyForm& form) {
  if (form.zabbix) {
    if (reply.size() < 13) return false;
    uint64_t length = 0;
    for (int k = 0; k < 8; ++k) length |= uint64_t(uint8_t(reply[5 + k])) << (8 * k);
    return reply.size() >= 13 + length;
  }
  if (form.ping) return bench::PingReplyComplete(reply);
  if (reply.empty() || reply[0] != '\0') return false;
  const std::string_view text = std::string_view(reply).substr(1);
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
  usage.cpu_seconds = bench::ProcessCpuSeconds(pid).value_or(0);
  usage.rss_kib = bench::ProcessStatusKiB(pid, "VmRSS").value_or(0);
  usage.peak_rss_kib = bench::ProcessStatusKiB(pid, "VmHWM").value_or(0);
  return usage;
}

void PrintLatencies(const std::string& label, const std::vector<double>& micros, int requests) {
  const int lost = requests - static_cast<int>(micros.size());
  if (micros.empty()) {
    std::printf("%-38s no reply (lost %d)\n", label.c_str(), lost);
    return;
  }
  const bench::Figures figures = bench::Summarise(micros);
  const auto slow = std::count_if(micros.begin(), micros.end(), [](double us) { return us > 5e5; });
  std::printf(
      "%-38s median %7.3f  p99 %7.3f  p99.9 %7.3f  max %8.3f ms  over 500 ms %ld  lost %d\n",
      label.c_str(), figures.median / 1000.0, figures.p99 / 1000.0, figures.p999 / 1000.0,
      figures.max / 1000.0, static_cast<long>(slow), lost);
}

// A client on one connection (connecting again when it is closed) asking as
// long as more(asked so far) holds; the round trips of the answered requests.
class PersistentClient {
 public:
  explicit PersistentClient(int port) : port_(port), fd_(ConnectLoopback(port)) {}
  ~PersistentClient() {
    if (fd_ >= 0) close(fd_);
  }
  PersistentClient(const PersistentClient&) = delete;
  PersistentClient& operator=(const PersistentClient&) = delete;

  // One request; false when it got no reply.
  bool Ask(std::string_view request, const ReplyForm& form, std::vector<double>& micros) {
    ++asked_;
    if (fd_ < 0) fd_ = ConnectLoopback(port_);
    const double us = fd_ < 0 ? -1 : RoundTrip(fd_, request, form);
    if (us >= 0) {
      micros.push_back(us);
      return true;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  }
  int asked() const { return asked_; }

 private:
  int port_;
  int fd_;
  int asked_ = 0;
};

std::vector<double> Persistent(int port, std::string_view request, const ReplyForm& form,
                               const std::function<bool(int asked)>& more) {
  std::vector<double> micros;
  PersistentClient client(port);
  while (more(client.asked())) client.Ask(request, form, micros);
  return micros;
}

std::vector<double> Fresh(int port, int requests, std::string_view request,
                          const ReplyForm& form) {
  std::vector<double> micros;
  for (int i = 0; i < requests; ++i) {
    const double us = FreshRoundTrip(port, request, form);
    if (us >= 0) micros.push_back(us);
  }
  return micros;
}

// The round trips of `clients` clients running the measurement at once, all
// in one series.
std::vector<double> AtOnce(int clients, const std::function<std::vector<double>()>& measure) {
  std::vector<std::vector<double>> each(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  for (auto& series : each) threads.emplace_back([&series, &measure] { series = measure(); });
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const auto& series : each) all.insert(all.end(), series.begin(), series.end());
  return all;
}

// The round trips of PING and RESUMEMON by one client and by several at once,
// on persistent and on new connections.
void MeasureRoundTrips(const Options& options, const ReplyForm& resumemon) {
  const ReplyForm ping{true, 0};
  for (const auto& [name, request, form] :
       {std::tuple{"PING", "PING\n", ping}, std::tuple{"RESUMEMON", "RESUMEMON\n", resumemon}}) {
    for (const int clients : {1, options.clients}) {
      const std::string who = std::to_string(clients) + (clients == 1 ? " client" : " clients");
      PrintLatencies(std::string(name) + ", persistent, " + who,
                     AtOnce(clients,
                            [&] {
                              return Persistent(options.port, request, form,
                                                [&](int asked) { return asked < options.requests; });
                            }),
                     clients * options.requests);
      PrintLatencies(
          std::string(name) + ", new connection, " + who,
          AtOnce(clients, [&] { return Fresh(options.port, options.requests, request, form); }),
          clients * options.requests);
    }
  }
}

// A client that runs a task with EXEC while the others are measured, and tells
// how long its reply took.
class TaskInFlight {
 public:
  TaskInFlight(int port, const std::string& task)
      : start_(Clock::now()), thread_([this, port, task] {
          const int fd = ConnectLoopback(port);
          std::string reply;
          char buffer[4096];
          if (fd >= 0 && SendAll(fd, "EXEC " + task + "\n")) {
            // The reply ends when the agent has sent it: wait for a pause after it.
            pollfd pfd{fd, POLLIN, 0};
            while (poll(&pfd, 1, reply.empty() ? 120000 : 200) > 0) {
              const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
              if (n <= 0) break;
              if (reply.empty()) seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
              reply.append(buffer, static_cast<size_t>(n));
            }
          }
          if (fd >= 0) close(fd);
          reply_bytes_ = reply.size();
        }) {}

  void Finish() {
    thread_.join();
    std::printf("EXEC reply beside the measurement: %zu bytes after %.2f s\n", reply_bytes_,
                seconds_);
  }

 private:
  Clock::time_point start_;
  double seconds_ = 0;
  size_t reply_bytes_ = 0;
  std::thread thread_;
};

// Clients that do the agent harm while a bystander is timed: three send SWINV
// every 50 ms and never read, ten trickle a byte every half second (each
// connecting again when closed).
void Hostile(const Options& options) {
  std::atomic<bool> running = true;
  std::vector<std::thread> harm;
  for (int k = 0; k < 3; ++k) {
    harm.emplace_back([&] {
      int fd = -1;
      while (running) {
        if (fd < 0) fd = ConnectLoopback(options.port);
        if (fd >= 0 && send(fd, "SWINV\n", 6, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN) {
          close(fd);
          fd = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (fd >= 0) close(fd);
    });
  }
  for (int k = 0; k < 10; ++k) {
    harm.emplace_back([&] {
      int fd = -1;
      while (running) {
        if (fd < 0) fd = ConnectLoopback(options.port);
        if (fd >= 0 && send(fd, "P", 1, MSG_NOSIGNAL) != 1) {
          close(fd);
          fd = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
      if (fd >= 0) close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // every slot taken
  const ReplyForm ping{true, 0};
  std::vector<double> fresh;
  std::vector<double> persistent;
  int fresh_asked = 0;
  PersistentClient bystander(options.port);
  const auto end = Clock::now() + std::chrono::seconds(options.hostile);
  while (Clock::now() < end) {
    ++fresh_asked;
    const double us = FreshRoundTrip(options.port, "PING\n", ping);
    if (us >= 0) fresh.push_back(us);
    for (int k = 0; k < 10; ++k) bystander.Ask("PING\n", ping, persistent);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  running = false;
  for (std::thread& thread : harm) thread.join();
  PrintLatencies("bystander PING, new connection", fresh, fresh_asked);
  PrintLatencies("bystander PING, persistent", persistent, bystander.asked());
}

// 8 clients polling RESUMEMON on persistent connections for the whole phase.
void Soak(const Options& options, const ReplyForm& resumemon) {
  const auto end = Clock::now() + std::chrono::seconds(options.soak);
  std::atomic<int> asked = 0;
  const std::vector<double> micros = AtOnce(options.clients, [&] {
    return Persistent(options.port, "RESUMEMON\n", resumemon, [&](int) {
      if (Clock::now() >= end) return false;
      ++asked;
      return true;
    });
  });
  PrintLatencies("RESUMEMON, persistent, " + std::to_string(options.clients) + " clients, " +
                     std::to_string(options.soak) + " s",
                 micros, asked);
}

// The peer agent's passive check on new connections, by one client and by several.
void Zabbix(const Options& options) {
  const ReplyForm form{false, 0, true};
  const std::string request = ZabbixRequest("agent.ping");
  for (const int clients : {1, options.clients}) {
    PrintLatencies("zabbix agent.ping, new connection, " + std::to_string(clients) +
                       (clients == 1 ? " client" : " clients"),
                   AtOnce(clients, [&] { return Fresh(options.port, options.requests, request, form); }),
                   clients * options.requests);
  }
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

// A client context with the client certificate of --make-certificates that
// trusts its authority; nothing when the files are not usable.
std::unique_ptr<common::TlsContext> TlsClientContext(const std::string& folder) {
  common::TlsFileProblem problem;
  auto context = common::TlsContext::ForClient(
      {folder + "/client.pem", folder + "/client.key", folder + "/ca.pem"}, &problem);
  if (!context) std::fprintf(stderr, "%s %s\n", problem.Path.c_str(), problem.Problem.c_str());
  return context;
}

std::unique_ptr<tools::AgentConnection> OpenTls(int port, const common::TlsContext& context,
                                                const common::TlsResumption& resume,
                                                Clock::duration limit) {
  std::string failure;
  return tools::AgentConnection::Open("127.0.0.1", port, &context, resume, Clock::now() + limit,
                                      &failure);
}

// One request on an open TLS connection; the round trip in microseconds, or -1.
double TlsRoundTrip(tools::AgentConnection& connection, std::string_view request,
                    const ReplyForm& form) {
  std::string failure;
  std::string reply;
  const auto start = Clock::now();
  if (!connection.Send(request, &failure)) return -1;
  while (!Complete(reply, form)) {
    if (connection.Read(reply, &failure) != tools::AgentConnection::ReadResult::kData) return -1;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// PING on a new TLS connection (resuming the session given, if any), connect,
// handshake and close included; -1 when it failed or did not resume as asked.
// Keeps the connection's session in *saved when given.
double FreshTlsRoundTrip(int port, const common::TlsContext& context,
                         const common::TlsResumption& resume, common::TlsResumption* saved) {
  const ReplyForm ping{true, 0};
  const auto start = Clock::now();
  {
    const auto connection = OpenTls(port, context, resume, kReplyTimeout);
    if (!connection || connection->Resumed() != static_cast<bool>(resume)) return -1;
    if (TlsRoundTrip(*connection, "PING\n", ping) < 0) return -1;
    if (saved != nullptr) *saved = connection->SavedSession();
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// PING over TLS, new connections with full and resumed handshakes and a
// persistent connection, beside PING on the clear-text port, by one client.
// Clear text and TLS take turns request by request, so that whatever else the
// machine does weighs on both alike.
void MeasureTls(const Options& options) {
  const auto context = TlsClientContext(options.tls_folder);
  if (!context) return;
  const ReplyForm ping{true, 0};
  const int n = options.requests;
  std::vector<double> clear_persistent;
  std::vector<double> tls_persistent;
  {
    PersistentClient clear(options.port);
    const auto tls = OpenTls(options.tls_port, *context, {}, std::chrono::hours(1));
    for (int i = 0; tls && i < n; ++i) {
      clear.Ask("PING\n", ping, clear_persistent);
      const double us = TlsRoundTrip(*tls, "PING\n", ping);
      if (us >= 0) tls_persistent.push_back(us);
    }
  }
  std::vector<double> clear_fresh;
  std::vector<double> full;
  std::vector<double> resumed;
  common::TlsResumption session;
  for (int i = 0; i < n; ++i) {
    const double clear_us = FreshRoundTrip(options.port, "PING\n", ping);
    if (clear_us >= 0) clear_fresh.push_back(clear_us);
    const double us = FreshTlsRoundTrip(options.tls_port, *context, {}, &session);
    if (us >= 0) full.push_back(us);
  }
  for (int i = 0; i < n && session; ++i) {
    const double us = FreshTlsRoundTrip(options.tls_port, *context, session, nullptr);
    if (us >= 0) resumed.push_back(us);
  }
  PrintLatencies("PING, clear text, persistent", clear_persistent, n);
  PrintLatencies("PING, " + options.tls_label + ", persistent", tls_persistent, n);
  PrintLatencies("PING, clear text, new connection", clear_fresh, n);
  PrintLatencies("PING, " + options.tls_label + ", full handshake", full, n);
  PrintLatencies("PING, " + options.tls_label + ", resumed", resumed, n);
  if (!clear_persistent.empty() && !tls_persistent.empty()) {
    std::printf("persistent TLS / clear text, median: %.2f\n",
                bench::Summarise(tls_persistent).median / bench::Summarise(clear_persistent).median);
  }
}

// Connections to the TLS port that send half of a client hello and nothing
// more, kept at their number on a thread of their own (one the agent closes is
// opened again) until the object goes.
class HalfDoneHandshakes {
 public:
  HalfDoneHandshakes(int port, int count, std::string half_hello)
      : thread_([this, port, count, half_hello = std::move(half_hello)] {
          std::vector<pollfd> held;
          while (!stop_) {
            while (static_cast<int>(held.size()) < count) {
              const int fd = ConnectLoopback(port);
              if (fd < 0 || !SendAll(fd, half_hello)) {
                if (fd >= 0) close(fd);
                break;
              }
              held.push_back({fd, POLLIN, 0});
            }
            if (poll(held.data(), held.size(), 50) <= 0) continue;
            for (pollfd& p : held) {
              if (p.revents == 0) continue;
              char byte;
              if (recv(p.fd, &byte, 1, MSG_DONTWAIT) == 0 || (p.revents & (POLLHUP | POLLERR))) {
                close(p.fd);
                p.fd = -1;
                ++closed_;
              }
            }
            std::erase_if(held, [](const pollfd& p) { return p.fd < 0; });
          }
          for (const pollfd& p : held) close(p.fd);
        }) {}
  ~HalfDoneHandshakes() {
    stop_ = true;
    thread_.join();
  }
  int closed() const { return closed_; }

 private:
  std::atomic<bool> stop_ = false;
  std::atomic<int> closed_ = 0;
  std::thread thread_;
};

// Clients polling PING on persistent connections, half in clear text and half
// over TLS, while handshakes are left half done; measured for --seconds once
// the half-done connections have filled the slots the pollers leave. A new
// connection waits its turn while ten are held (half a second at most), which
// one client on new connections shows.
void MeasureBesideHalfDone(const Options& options) {
  const auto context = TlsClientContext(options.tls_folder);
  if (!context) return;
  const ReplyForm ping{true, 0};
  std::atomic<bool> measuring = false;
  std::atomic<bool> running = true;
  std::atomic<int> lost = 0;
  std::vector<std::vector<double>> each(static_cast<size_t>(options.clients));
  std::vector<std::thread> pollers;
  for (int c = 0; c < options.clients; ++c) {
    const bool over_tls = c % 2 == 1;
    pollers.emplace_back([&, over_tls, &micros = each[static_cast<size_t>(c)]] {
      PersistentClient clear(options.port);
      std::unique_ptr<tools::AgentConnection> tls;
      std::vector<double> ignored;
      while (running) {
        double us = -1;
        if (over_tls) {
          if (!tls) tls = OpenTls(options.tls_port, *context, {}, std::chrono::hours(1));
          us = tls ? TlsRoundTrip(*tls, "PING\n", ping) : -1;
          if (us < 0) tls.reset();
        } else {
          std::vector<double> one;
          if (clear.Ask("PING\n", ping, one)) us = one.front();
        }
        if (!measuring) continue;
        if (us < 0) {
          ++lost;
        } else {
          micros.push_back(us);
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the pollers hold their slots
  const std::string hello = common::TlsSession(*context, "127.0.0.1").TakeCiphertext();
  const HalfDoneHandshakes half_done(options.tls_port, options.half_done,
                                     hello.substr(0, hello.size() / 2));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // every slot the pollers leave is taken
  measuring = true;
  const std::vector<double> fresh = Fresh(options.port, 10, "PING\n", ping);
  std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
  measuring = false;
  running = false;
  for (std::thread& poller : pollers) poller.join();
  std::vector<double> clear;
  std::vector<double> tls;
  for (size_t c = 0; c < each.size(); ++c) {
    (c % 2 == 1 ? tls : clear).insert((c % 2 == 1 ? tls : clear).end(), each[c].begin(),
                                      each[c].end());
  }
  std::vector<double> all = clear;
  all.insert(all.end(), tls.begin(), tls.end());
  const std::string half = std::to_string(options.clients / 2) + " clients";
  PrintLatencies("PING, clear text, persistent, " + half, clear, static_cast<int>(clear.size()));
  PrintLatencies("PING, TLS, persistent, " + half, tls, static_cast<int>(tls.size()));
  PrintLatencies("PING, all " + std::to_string(options.clients) + " pollers", all,
                 static_cast<int>(all.size()) + lost);
  PrintLatencies("PING, clear text, new connection, 1 client", fresh, 10);
  std::printf("half-done handshakes closed by the agent meanwhile: %d (%d held at a time)\n",
              half_done.closed(), options.half_done);
}

// Installs the agent as a service of its own and times each stop from the stop
// control to the stopped state, taken 0.5 to 3 s after the agent answered.
int StopRounds(const Options& options) {
  const int port = bench::FreeLoopbackPort();
  bench::AgentService service(
      options.agent, "LISTEN=127.0.0.1\r\nPORT=" + std::to_string(port) +
                         "\r\nRRDTOOL=FALSE\r\nNETMON=TRUE\r\nPERIODOBASE=" + options.period +
                         "\r\nCOMMAND1=ss | -t -n |:80|ESTAB\r\n"
                         "COMMAND2=ss | -t -n |:50000|ESTAB\r\nLOGLEVEL=0");
  if (!service.Installed()) {
    std::fprintf(stderr, "the agent service could not be installed\n");
    return 1;
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> into_pass_ms(500, 3000);
  bench::Series stops;
  for (int round = 0; round < options.stop_rounds; ++round) {
    if (!service.StartServing(port)) {
      std::fprintf(stderr, "the agent service did not start serving\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(into_pass_ms(random)));
    platform::DWORD pid = 0;
    service.State(&pid);
    const auto stop = Clock::now();
    service.Stop();
    stops.Add(service.WaitForState(platform::SERVICE_STOPPED, stop, std::chrono::microseconds(200))
                  .value_or(30000));
    // The next start needs the former process gone (its instance lock with it).
    const auto gone_by = Clock::now() + std::chrono::seconds(10);
    while (pid > 0 && kill(static_cast<pid_t>(pid), 0) == 0 && Clock::now() < gone_by) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  const bench::Figures figures = stops.Summary();
  std::printf("stop -> stopped at PERIODOBASE=%s, %zu rounds: median %.1f  p90 %.1f  max %.1f ms\n",
              options.period.c_str(), figures.count, figures.median, figures.p90, figures.max);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (name == "--agent") options.agent = argv[i + 1];
    if (name == "--stop-rounds") options.stop_rounds = value;
    if (name == "--period") options.period = argv[i + 1];
    if (name == "--port") options.port = value;
    if (name == "--pid") options.pid = value;
    if (name == "--requests") options.requests = value;
    if (name == "--clients") options.clients = value;
    if (name == "--seconds") options.seconds = value;
    if (name == "--burst") options.burst = value;
    if (name == "--burst-rounds") options.burst_rounds = value;
    if (name == "--task") options.task = argv[i + 1];
    if (name == "--hostile") options.hostile = value;
    if (name == "--soak") options.soak = value;
    if (name == "--tls-port") options.tls_port = value;
    if (name == "--tls-folder") options.tls_folder = argv[i + 1];
    if (name == "--tls-label") options.tls_label = argv[i + 1];
    if (name == "--half-done") options.half_done = value;
    if (name == "--make-certificates") options.make_certificates = argv[i + 1];
  }
  if (!options.make_certificates.empty()) {
    const testsupport::TestPki pki(options.make_certificates);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--zabbix") options.zabbix = true;
  }
  if (options.stop_rounds > 0 && !options.agent.empty()) return StopRounds(options);
  if (options.port <= 0) {
    std::fprintf(stderr,
                 "usage: %s --port N [--pid PID] [--requests 300] [--clients 8] [--seconds 10]\n"
                 "       %s --agent PATH --stop-rounds N [--period 2000]\n",
                 argv[0], argv[0]);
    return 2;
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as each phase ends
  if (options.zabbix) {
    Zabbix(options);
    return 0;
  }
  if (options.tls_port > 0) {
    const AgentUsage before_tls = ReadUsage(options.pid);
    if (options.half_done > 0) {
      MeasureBesideHalfDone(options);
    } else {
      MeasureTls(options);
    }
    std::printf("agent CPU time over the run: %.2f s\n",
                ReadUsage(options.pid).cpu_seconds - before_tls.cpu_seconds);
    return 0;
  }
  const AgentUsage before = ReadUsage(options.pid);
  const ReplyForm ping{true, 0};
  const ReplyForm resumemon = LearnResumeMonForm(options.port);
  std::printf("RESUMEMON reply: %d lines\n", resumemon.line_ends);
  if (options.hostile > 0 || options.soak > 0) {
    if (options.hostile > 0) Hostile(options);
    if (options.soak > 0) Soak(options, resumemon);
    const AgentUsage after = ReadUsage(options.pid);
    std::printf("agent CPU time over the run: %.2f s; resident memory %ld KiB\n",
                after.cpu_seconds - before.cpu_seconds, after.rss_kib);
    return 0;
  }

  std::optional<TaskInFlight> task;
  if (!options.task.empty()) task.emplace(options.port, options.task);
  MeasureRoundTrips(options, resumemon);
  if (task) {
    task->Finish();
  } else {
    const int burst_requests = options.burst * options.burst_rounds;
    PrintLatencies("PING, new connections, " + std::to_string(options.burst) + " clients",
                   AtOnce(options.burst,
                          [&] { return Fresh(options.port, options.burst_rounds, "PING\n", ping); }),
                   burst_requests);
    Concurrent(options);
  }

  if (options.pid > 0) {
    const AgentUsage after = ReadUsage(options.pid);
    std::printf(
        "agent CPU time over the run: %.2f s; resident memory %ld KiB (was %ld, peak %ld)\n",
        after.cpu_seconds - before.cpu_seconds, after.rss_kib, before.rss_kib, after.peak_rss_kib);
  }
  return 0;
}
