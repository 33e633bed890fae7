#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

using namespace platform;

namespace {

constexpr auto kServiceTimeout = std::chrono::seconds(30);
constexpr int kReplyPollMs = 30000;

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// The sorted sample at floor(q * count), kept inside the series.
double Quantile(const std::vector<double>& sorted, double q) {
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
}

bool WaitUntil(const std::function<bool()>& condition, Clock::duration interval) {
  const auto limit = Clock::now() + kServiceTimeout;
  while (Clock::now() < limit) {
    if (condition()) return true;
    std::this_thread::sleep_for(interval);
  }
  return false;
}

}  // namespace

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Figures Summarise(std::vector<double> samples, double if_empty) {
  if (samples.empty()) {
    return {0, if_empty, if_empty, if_empty, if_empty, if_empty, if_empty, if_empty};
  }
  std::sort(samples.begin(), samples.end());
  Figures figures;
  figures.count = samples.size();
  figures.min = samples.front();
  figures.median = Quantile(samples, 0.5);
  figures.p90 = Quantile(samples, 0.9);
  figures.p99 = Quantile(samples, 0.99);
  figures.p999 = Quantile(samples, 0.999);
  figures.max = samples.back();
  for (const double sample : samples) figures.mean += sample;
  figures.mean /= static_cast<double>(samples.size());
  return figures;
}

bool Series::Time(const std::function<bool()>& once) {
  const auto start = Clock::now();
  const bool ok = once();
  samples_.push_back(MsSince(start));
  if (!ok) failed_ = true;
  return ok;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t size = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  const sockaddr_in agent = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&agent), sizeof(agent)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> RequestOnce(int port, const std::string& line) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return std::nullopt;
  if (!SendAll(fd, line + "\nQUIT\n")) {
    close(fd);
    return std::nullopt;
  }
  std::string reply;
  char buffer[65536];
  while (true) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, kReplyPollMs) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (reply.empty() || reply[0] != '\0') return std::nullopt;
  return reply.substr(1);
}

bool PingReplyComplete(std::string_view reply) {
  if (reply.empty() || reply[0] != '\0') return false;
  const std::string_view text = reply.substr(1);
  const size_t pong = text.find(" PONG ");
  return pong != std::string_view::npos && text.size() >= 2 * pong + 6;
}

std::optional<double> PingRoundTrip(int fd) {
  const auto start = Clock::now();
  if (!SendAll(fd, "PING\n")) return std::nullopt;
  std::string reply;
  char buffer[4096];
  while (!PingReplyComplete(reply)) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, kReplyPollMs) <= 0) return std::nullopt;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return std::nullopt;
    reply.append(buffer, static_cast<size_t>(n));
  }
  return MsSince(start);
}

Figures KeptConnectionPings(int port, const std::function<bool(int asked)>& more,
                            std::chrono::milliseconds gap, int& lost, std::vector<double>* all) {
  std::vector<double> times;
  lost = 0;
  const int fd = ConnectLoopback(port);
  for (int asked = 0; more(asked); ++asked) {
    if (const auto ms = fd >= 0 ? PingRoundTrip(fd) : std::nullopt) {
      times.push_back(*ms);
    } else {
      ++lost;
    }
    if (gap.count() > 0) std::this_thread::sleep_for(gap);
  }
  if (fd >= 0) close(fd);
  if (all != nullptr) all->insert(all->end(), times.begin(), times.end());
  return Summarise(times);
}

void PrintRoundTrips(const char* label, const Figures& f, int lost) {
  std::printf("%-44s median %7.3f  p99 %7.3f  p99.9 %7.3f  max %7.3f ms  (%zu, lost %d)\n", label,
              f.median, f.p99, f.p999, f.max, f.count, lost);
}

std::optional<double> ProcessCpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t paren = line.rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  // Fields 14 and 15 (utime, stime), counted from the pid as field 1.
  std::istringstream fields(line.substr(paren + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stoull(field);
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<long> ProcessStatusKiB(int pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = std::string(field) + ":";
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return std::nullopt;
}

AgentService::AgentService(const std::string& agent_binary, const std::string& configuration) {
  char folder_template[] = "/tmp/tarvo-bench-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) return;
  folder_ = folder_template;
  const std::string agent = folder_ + "/AgentTarvoService";
  std::error_code ec;
  if (!std::filesystem::copy_file(agent_binary, agent, ec)) return;
  std::ofstream(folder_ + "/TarvoAgent.cfg") << configuration;
  setenv("TARVO_SCM_ROOT", (folder_ + "/scm").c_str(), 1);

  manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  service_ = CreateServiceA(manager_, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, agent.c_str(), nullptr,
                            nullptr, nullptr, nullptr, nullptr);
}

AgentService::~AgentService() {
  if (service_ != nullptr) {
    // Stopping a service that is already stopped is refused and changes nothing.
    Stop();
    DWORD pid = 0;
    const bool stopped =
        WaitUntil([&] { return State(&pid) == SERVICE_STOPPED; }, std::chrono::milliseconds(5));
    if (!stopped && pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    DeleteService(service_);
    CloseServiceHandle(service_);
  }
  if (manager_ != nullptr) CloseServiceHandle(manager_);
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

bool AgentService::Start() {
  return service_ != nullptr && StartServiceA(service_, 0, nullptr);
}

bool AgentService::Stop() {
  SERVICE_STATUS status{};
  return service_ != nullptr && ControlService(service_, SERVICE_CONTROL_STOP, &status);
}

DWORD AgentService::State(DWORD* pid) const {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (service_ == nullptr ||
      !QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 0;
  }
  if (pid != nullptr) *pid = status.dwProcessId;
  return status.dwCurrentState;
}

std::optional<double> AgentService::WaitForState(DWORD state, Clock::time_point since,
                                                 Clock::duration interval) const {
  const auto limit = since + kServiceTimeout;
  while (Clock::now() < limit) {
    if (State() == state) return MsSince(since);
    std::this_thread::sleep_for(interval);
  }
  return std::nullopt;
}

bool AgentService::StartServing(int port) {
  const auto interval = std::chrono::milliseconds(5);
  return Start() && WaitUntil([&] { return State() == SERVICE_RUNNING; }, interval) &&
         WaitUntil([&] { return RequestOnce(port, "PING").has_value(); }, interval);
}

}  // namespace bench
