// Measures the time the calling thread (the agent's main thread) spends in one
// RRD feed, FeedRRDTool, once the databases exist: the folder, template and
// graph-script checks, the snapshot read and the hand-over to the RRD launcher.
// For comparison it also prints how long the launcher's thread then takes to
// start the feed's processes (six updates and the graph script). rrdtool itself
// is never waited for; the bench lets it finish between feeds so that it does
// not load the measured ones.
//
// Usage: rrd_feed_bench [ROUNDS] [LOGLEVEL]
// Needs rrdtool on PATH. Works in a temporary program folder (TARVO_HOME).

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/MetricSnapshot.h"
#include "agent/RRDLauncher.h"
#include "agent/RRDTool.h"
#include "bench/BenchSupport.h"
#include "common/AgentConfig.h"
#include "common/ProgramFolder.h"

namespace {

using bench::Clock;
using bench::MsSince;

// Whether some process still works in the folder (an rrdtool or the script).
bool ProcessesWorkIn(const std::filesystem::path& folder) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    char cwd[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    const ssize_t n = readlink(link.c_str(), cwd, sizeof(cwd) - 1);
    if (n > 0 && std::filesystem::path(std::string(cwd, static_cast<size_t>(n))) == folder) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

void WaitForQuiet(const std::filesystem::path& folder) {
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (ProcessesWorkIn(folder) && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

struct FeedTimes {
  double caller_ms;    // in FeedRRDTool on the calling thread
  double launches_ms;  // from the call until the launcher has started everything
};

FeedTimes TimedFeed() {
  const auto start = Clock::now();
  agent::FeedRRDTool();
  const double caller_ms = MsSince(start);
  agent::TheRrdLauncher().WaitIdle(std::chrono::seconds(60));
  return {caller_ms, MsSince(start)};
}

void PrintFigures(const char* what, const std::vector<double>& samples) {
  const bench::Figures figures = bench::Summarise(samples);
  std::printf("  %-28s min %7.3f ms  median %7.3f ms  p90 %7.3f ms  max %7.3f ms\n", what,
              figures.min, figures.median, figures.p90, figures.max);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  common::TheAgentConfig().LogLevel = argc > 2 ? std::atoi(argv[2]) : 0;

  std::string home = (std::filesystem::temp_directory_path() / "tarvo-rrdbench-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("TARVO_HOME", home.c_str(), 1);
  const std::filesystem::path folder = std::filesystem::canonical(home) / "RRDTOOL";

  agent::MetricSnapshot& snapshot = agent::TheMetricSnapshot();
  snapshot.CpuBusy[0] = 37.5;
  snapshot.RamAvailable = 1.5e9;
  snapshot.RamTotal = 4e9;
  snapshot.DiskTotal[0] = 1e11;
  snapshot.DiskFree[0] = 4e10;

  const FeedTimes first = TimedFeed();
  WaitForQuiet(folder);

  std::vector<double> caller;
  std::vector<double> launches;
  for (int i = 0; i < rounds; ++i) {
    snapshot.NetIn[0] += 1e6;
    snapshot.NetOut[0] += 2e6;
    const FeedTimes times = TimedFeed();
    caller.push_back(times.caller_ms);
    launches.push_back(times.launches_ms);
    WaitForQuiet(folder);
  }
  std::printf("first feed (four creations): calling thread %.3f ms, launcher %.3f ms\n",
              first.caller_ms, first.launches_ms);
  std::printf("feeds with databases present: %d rounds, log level %d\n", rounds,
              common::TheAgentConfig().LogLevel);
  PrintFigures("calling thread (FeedRRDTool)", caller);
  PrintFigures("launcher thread (all starts)", launches);

  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return 0;
}
