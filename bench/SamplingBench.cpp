// The cost of the agent's sampling: one sampling pass with PERIODOBASE=0 (the
// pass itself, as the main loop runs it, with a listening socket and the default
// probes), and the size and build time of the performance data blocks.
//
//   sampling_bench [--passes 1000] [--blocks 1000]

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/AgentHost.h"
#include "agent/CommandServer.h"
#include "agent/MetricSampler.h"
#include "agent/MetricSnapshot.h"
#include "bench/BenchSupport.h"
#include "common/AgentConfig.h"
#include "common/PerfModule.h"
#include "platform/PerfData.h"

namespace {

using bench::Figures;
using bench::Summarise;

double Seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Print(const char* what, const Figures& figures, const char* unit, double scale) {
  std::printf("%-44s median %8.3f  p90 %8.3f  mean %8.3f  max %8.3f %s\n", what,
              figures.median * scale, figures.p90 * scale, figures.mean * scale,
              figures.max * scale, unit);
}

void BenchBlock(const char* key_list, int count) {
  std::vector<double> cpu;
  std::vector<double> wall;
  size_t size = 0;
  for (int i = 0; i < count; ++i) {
    const double c0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
    const double w0 = Seconds(CLOCK_MONOTONIC);
    size = platform::BuildPerformanceData(key_list).size();
    wall.push_back(Seconds(CLOCK_MONOTONIC) - w0);
    cpu.push_back(Seconds(CLOCK_THREAD_CPUTIME_ID) - c0);
  }
  std::printf("block \"%s\": %zu bytes\n", key_list, size);
  Print("  build, CPU time", Summarise(cpu), "ms", 1e3);
  Print("  build, wall time", Summarise(wall), "ms", 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  int passes = 1000;
  int blocks = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--passes") == 0) passes = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--blocks") == 0) blocks = std::atoi(argv[i + 1]);
  }

  // A program folder of its own for the log.
  char home[] = "/tmp/tarvo-sampling-bench-XXXXXX";
  if (mkdtemp(home) == nullptr) return 1;
  setenv("TARVO_HOME", home, 1);

  common::AgentConfig& config = common::TheAgentConfig();
  config.ListenAddress = "127.0.0.1";
  config.PeriodBase = 0;
  config.NetMon = true;
  config.LogLevel = 0;
  config.PerfKeyList = agent::kBasePerfKeyList;
  config.Command[0] = {"ss ", " -t -n ", ":80", "ESTAB"};
  config.Command[1] = {"ss ", " -t -n ", ":50000", "ESTAB"};
  const int listen_socket = agent::OpenListener(0);

  BenchBlock("2 4 236 238 260 510", blocks);
  BenchBlock("2 4 236 238 260 510 230", std::max(1, blocks / 10));

  agent::TheHostState().FirstPass = true;
  std::vector<double> cpu;
  std::vector<double> wall;
  std::vector<double> cpu_without_probes;
  for (int i = 0; i < passes; ++i) {
    const double c0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double w0 = Seconds(CLOCK_MONOTONIC);
    agent::PerformMonitoring(listen_socket);
    const double spent = Seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    wall.push_back(Seconds(CLOCK_MONOTONIC) - w0);
    cpu.push_back(spent);
    // COMMAND1 and COMMAND2 run on passes 0 and 2 of every eight.
    const int32_t pass = agent::TheMetricSampler().PassCount();
    if (pass % 8 != 0 && pass % 8 != 2) cpu_without_probes.push_back(spent);
  }
  const agent::MetricSnapshot& snapshot = agent::TheMetricSnapshot();
  std::printf("sampling pass, PERIODOBASE=0, %d passes (PROCS=%d THREADS=%d CPU1=%.0f)\n", passes,
              snapshot.ProcessCount, snapshot.ThreadCount, snapshot.CpuBusy[0]);
  Print("  CPU time of the agent process", Summarise(cpu), "ms", 1e3);
  Print("  CPU time, passes without a probe", Summarise(cpu_without_probes), "ms", 1e3);
  Print("  wall time", Summarise(wall), "ms", 1e3);

  if (listen_socket >= 0) close(listen_socket);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return 0;
}
