// A fleet on one machine: agents on their own ports, each a service of an
// embedded service manager of its own in a temporary program folder, and one
// real Prometheus (Debian's prometheus) scraping all of them every second.
// Prints whether every target stayed up with no failed scrape, the agents'
// processor time per scrape (their time while scraped, less their time while
// not, over the scrapes), and the PING round trips on a kept connection to the
// first agent while not scraped and while scraped.
//
//   metrics_fleet_bench AGENT TARVO_SC [--agents 50] [--seconds 120]

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/support/Processes.h"
#include "tests/support/PrometheusServer.h"
#include "tests/support/TempFolder.h"

namespace {

constexpr const char* kService = "Tarvo Agent Service";

// A free port that no agent of the fleet has been given yet.
int UnusedPort() {
  static std::set<int> given;
  int port = bench::FreeLoopbackPort();
  while (!given.insert(port).second) port = bench::FreeLoopbackPort();
  return port;
}

// One agent of the fleet, stopped (and killed when it does not stop) and its
// folder removed when the object goes.
class FleetAgent {
 public:
  FleetAgent(const std::string& agent_binary, const std::string& sc_binary)
      : sc_(sc_binary), port_(UnusedPort()), metrics_port_(UnusedPort()) {
    const std::string agent = folder_.Path("AgentTarvoService");
    std::filesystem::copy_file(agent_binary, agent);
    testsupport::WriteAll(folder_.Path("TarvoAgent.cfg"),
                          "LISTEN=127.0.0.1\r\nPORT=" + std::to_string(port_) +
                              "\r\nMETRICSPORT=" + std::to_string(metrics_port_) +
                              "\r\nRRDTOOL=FALSE\r\nNETMON=TRUE\r\nPERIODOBASE=2000\r\n"
                              "PERFORMANCEMON1=238|% Processor Time|_Total|CPU\r\nLOGLEVEL=0");
    started_ = Sc({"create", kService, agent, "--display", kService}).exit_code == 0 &&
               Sc({"start", kService}).exit_code == 0;
    std::smatch match;
    const std::string query = Sc({"query", kService}).output;
    const std::regex pid_field(R"(PID\s*:\s*(\d+))");
    if (std::regex_search(query, match, pid_field)) pid_ = std::stoi(match[1]);
  }
  ~FleetAgent() {
    Sc({"stop", kService});
    testsupport::WaitUntil([this] { return !testsupport::ProcessAlive(pid_); },
                           std::chrono::seconds(15));
    if (pid_ > 0) testsupport::KillProcess(pid_);
  }
  FleetAgent(const FleetAgent&) = delete;
  FleetAgent& operator=(const FleetAgent&) = delete;

  bool Serving() const {
    return started_ && pid_ > 0 && bench::RequestOnce(port_, "PING").has_value();
  }
  int port() const { return port_; }
  int metrics_port() const { return metrics_port_; }
  int pid() const { return pid_; }

 private:
  testsupport::ProgramResult Sc(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{sc_};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProgram(argv, {{"TARVO_SCM_ROOT", folder_.Path("scm")}});
  }

  testsupport::TempFolder folder_;
  std::string sc_;
  int port_;
  int metrics_port_;
  int pid_ = 0;
  bool started_ = false;
};

double FleetCpuSeconds(const std::vector<std::unique_ptr<FleetAgent>>& fleet) {
  double seconds = 0;
  for (const auto& agent : fleet) seconds += bench::ProcessCpuSeconds(agent->pid()).value_or(0);
  return seconds;
}

// PING round trips on a kept connection, about every 20 ms, for the given time.
bench::Figures PingsFor(int port, std::chrono::seconds length, int& lost) {
  std::vector<double> times;
  lost = 0;
  const int fd = bench::ConnectLoopback(port);
  const auto end = bench::Clock::now() + length;
  while (bench::Clock::now() < end) {
    if (const auto ms = fd >= 0 ? bench::PingRoundTrip(fd) : std::nullopt) {
      times.push_back(*ms);
    } else {
      ++lost;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (fd >= 0) close(fd);
  return bench::Summarise(times);
}

void PrintPings(const char* what, const bench::Figures& f, int lost) {
  std::printf("%-34s median %7.3f  p99 %7.3f  p99.9 %7.3f  max %7.3f ms  (%zu, lost %d)\n", what,
              f.median, f.p99, f.p999, f.max, f.count, lost);
}

// The sum of an instant vector's values, or -1 when the query failed.
double Sum(const testsupport::PrometheusServer& prometheus, const std::string& expression) {
  const auto samples = prometheus.Query(expression);
  if (!samples) return -1;
  double sum = 0;
  for (const auto& sample : *samples) sum += sample.Value;
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s AGENT TARVO_SC [--agents 50] [--seconds 120]\n", argv[0]);
    return 2;
  }
  int count = 50;
  int seconds = 120;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--agents") == 0) count = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
  }
  const std::string agent_binary = std::filesystem::absolute(argv[1]).string();
  const std::string sc_binary = std::filesystem::absolute(argv[2]).string();

  std::vector<std::unique_ptr<FleetAgent>> fleet;
  std::vector<std::string> targets;
  for (int k = 0; k < count; ++k) {
    fleet.push_back(std::make_unique<FleetAgent>(agent_binary, sc_binary));
    targets.push_back("127.0.0.1:" + std::to_string(fleet.back()->metrics_port()));
  }
  for (const auto& agent : fleet) {
    if (!testsupport::WaitUntil([&] { return agent->Serving(); }, std::chrono::seconds(60))) {
      std::fprintf(stderr, "error: an agent of the fleet did not start serving\n");
      return 1;
    }
  }
  std::printf("== %d agents serving; %d s without Prometheus, then %d s scraped every second\n",
              count, seconds / 2, seconds);

  // Without scrapes: the first agent's PINGs and the fleet's processor time.
  const auto quiet = std::chrono::seconds(seconds / 2);
  double cpu_before = FleetCpuSeconds(fleet);
  int lost = 0;
  const bench::Figures alone = PingsFor(fleet[0]->port(), quiet, lost);
  const double quiet_cpu = FleetCpuSeconds(fleet) - cpu_before;
  PrintPings("PING to agent 1, not scraped", alone, lost);

  testsupport::PrometheusServer prometheus(targets);
  if (!prometheus.Started()) {
    std::fprintf(stderr, "error: prometheus did not start:\n%s\n", prometheus.Log().c_str());
    return 1;
  }
  const bool all_up = testsupport::WaitUntil(
      [&] { return Sum(prometheus, "up{job=\"tarvo\"}") == count; }, std::chrono::seconds(60));
  if (!all_up) std::printf("not every target came up within 60 s\n");

  cpu_before = FleetCpuSeconds(fleet);
  const auto scraped_from = bench::Clock::now();
  const bench::Figures scraped = PingsFor(fleet[0]->port(), std::chrono::seconds(seconds), lost);
  const double scraped_seconds = bench::MsSince(scraped_from) / 1000.0;
  const double scraped_cpu = FleetCpuSeconds(fleet) - cpu_before;
  PrintPings("PING to agent 1, scraped", scraped, lost);
  std::printf("p99 scraped / not scraped: %.3f\n", scraped.p99 / alone.p99);

  const std::string range = "[" + std::to_string(seconds) + "s]";
  const double scrapes = Sum(prometheus, "count_over_time(up{job=\"tarvo\"}" + range + ")");
  const double up = Sum(prometheus, "sum_over_time(up{job=\"tarvo\"}" + range + ")");
  const double targets_up = Sum(prometheus, "up{job=\"tarvo\"}");
  const double slowest = Sum(prometheus, "max(max_over_time(scrape_duration_seconds" + range + "))");
  std::printf("targets up at the end: %.0f of %d; scrapes in the last %d s: %.0f, failed %.0f\n",
              targets_up, count, seconds, scrapes, scrapes - up);
  std::printf("slowest scrape as Prometheus timed it: %.3f ms\n", 1000.0 * slowest);
  const double quiet_rate = quiet_cpu / std::chrono::duration<double>(quiet).count();
  std::printf("fleet CPU: %.3f s/s not scraped, %.3f s/s scraped; per scrape %.3f ms\n",
              quiet_rate, scraped_cpu / scraped_seconds,
              1000.0 * (scraped_cpu - quiet_rate * scraped_seconds) / std::max(1.0, scrapes));
  return all_up && scrapes == up ? 0 : 1;
}
