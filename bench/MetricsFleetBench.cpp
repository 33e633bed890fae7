// A fleet on one machine: agents on their own ports, each a service of an
// embedded service manager of its own in a temporary program folder, and one
// real Prometheus (Debian's prometheus) scraping them every second, in windows
// that take turns: nothing scraped, all scraped, all but the first scraped.
// Prints whether every target was up with no failed scrape, the agents'
// processor time per scrape (their time while scraped, less their time while
// not, over the scrapes), and the PING round trips on a kept connection to the
// first agent in each kind of window.
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
  testsupport::PrometheusServer prometheus({}, /*file_discovery=*/true);
  if (!prometheus.Started()) {
    std::fprintf(stderr, "error: prometheus did not start:\n%s\n", prometheus.Log().c_str());
    return 1;
  }

  // Windows of 20 s in turns: not scraped, every agent scraped, and every agent
  // but the first scraped (the targets taken out of and put back into the
  // job's file), so that a change in the machine's load weighs on all alike.
  // The third tells what of the first agent's times comes from its own
  // scrapes and what from the machine's share of the fleet's work.
  constexpr int kWindow = 20;
  enum Kind { kQuiet, kScraped, kOthersScraped, kKinds };
  const char* const labels[kKinds] = {"PING to agent 1, nothing scraped",
                                      "PING to agent 1, all 50 scraped",
                                      "PING to agent 1, the 49 others scraped"};
  const std::vector<std::string> others(targets.begin() + 1, targets.end());
  const int rounds = std::max(1, seconds / kWindow);
  std::printf("== %d agents serving; %d rounds of three %d s windows: nothing, all, all but the "
              "first scraped\n",
              count, rounds, kWindow);
  std::vector<double> pings[kKinds];
  double cpu[kKinds] = {};
  double length[kKinds] = {};
  int lost[kKinds] = {};
  bool all_up = true;
  const auto scraped_from = std::chrono::system_clock::now();
  for (int window = 0; window < kKinds * rounds; ++window) {
    const Kind kind = static_cast<Kind>(window % kKinds);
    const std::vector<std::string>& now_scraped =
        kind == kQuiet ? std::vector<std::string>{} : kind == kScraped ? targets : others;
    prometheus.SetTargets(now_scraped);
    // The former window's scrapes end and the new targets come up.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double wanted = static_cast<double>(now_scraped.size());
    all_up = testsupport::WaitUntil(
                 [&] { return Sum(prometheus, "count(up{job=\"tarvo\"} == 1)") == wanted; },
                 std::chrono::seconds(30)) &&
             all_up;
    const double cpu_before = FleetCpuSeconds(fleet);
    const auto from = bench::Clock::now();
    const auto end = from + std::chrono::seconds(kWindow);
    int window_lost = 0;
    bench::KeptConnectionPings(
        fleet[0]->port(), [end](int) { return bench::Clock::now() < end; },
        std::chrono::milliseconds(20), window_lost, &pings[kind]);
    lost[kind] += window_lost;
    cpu[kind] += FleetCpuSeconds(fleet) - cpu_before;
    length[kind] += bench::MsSince(from) / 1000.0;
  }
  bench::Figures figures[kKinds];
  for (int kind = 0; kind < kKinds; ++kind) {
    figures[kind] = bench::Summarise(pings[kind]);
    bench::PrintRoundTrips(labels[kind], figures[kind], lost[kind]);
  }
  std::printf("p99 all scraped / nothing scraped: %.3f; all scraped / the others scraped: %.3f\n",
              figures[kScraped].p99 / figures[kQuiet].p99,
              figures[kScraped].p99 / figures[kOthersScraped].p99);

  const auto run = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now() - scraped_from);
  const std::string range = "[" + std::to_string(run.count() + 5) + "s]";
  const double scrapes = Sum(prometheus, "count_over_time(up{job=\"tarvo\"}" + range + ")");
  const double up = Sum(prometheus, "sum_over_time(up{job=\"tarvo\"}" + range + ")");
  const double slowest =
      Sum(prometheus, "max(max_over_time(scrape_duration_seconds" + range + "))");
  std::printf("every target up in every window: %s; scrapes %.0f, failed %.0f\n",
              all_up ? "yes" : "no", scrapes, scrapes - up);
  std::printf("slowest scrape as Prometheus timed it: %.3f ms\n", 1000.0 * slowest);
  // Per scrape: the fleet's time while all were scraped, less its time while
  // none was, over the scrapes of those windows (one a second each).
  const double quiet_rate = cpu[kQuiet] / length[kQuiet];
  std::printf("fleet CPU: %.3f s/s nothing scraped, %.3f s/s all scraped; per scrape %.3f ms\n",
              quiet_rate, cpu[kScraped] / length[kScraped],
              1000.0 * (cpu[kScraped] - quiet_rate * length[kScraped]) /
                  (count * length[kScraped]));
  return all_up && scrapes == up ? 0 : 1;
}
