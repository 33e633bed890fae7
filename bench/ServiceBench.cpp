// Measures how fast the agent service starts and stops under the embedded
// service manager, and its resident memory once idle.
//
// Usage: service_bench AGENT_BINARY [ROUNDS] [PERIODOBASE]
// The agent is copied into a temporary program folder with its own manager root.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "platform/ServiceManager.h"

using namespace platform;
using bench::Clock;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY [ROUNDS] [PERIODOBASE]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::string period = argc > 3 ? argv[3] : "2000";

  bench::Series to_running, to_stopped;
  long rss_kib = -1;
  {
    bench::AgentService service(
        argv[1], "LISTEN=127.0.0.1\r\nPORT=0\r\nRRDTOOL=FALSE\r\nPERIODOBASE=" + period + "\r\n");
    if (!service.Installed()) {
      std::fprintf(stderr, "CreateService failed: %u\n", GetLastError());
      return 1;
    }
    // States are polled every 200 microseconds so that the times resolve well.
    const auto interval = std::chrono::microseconds(200);
    for (int round = 0; round < rounds; ++round) {
      const auto start = Clock::now();
      if (!service.Start()) {
        std::fprintf(stderr, "StartService failed: %u\n", GetLastError());
        break;
      }
      to_running.Add(service.WaitForState(SERVICE_RUNNING, start, interval).value_or(-1));
      if (round == 0) {
        // Let the first passes run, then read the resident memory of the idle agent.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        DWORD pid = 0;
        service.State(&pid);
        rss_kib = bench::ProcessStatusKiB(static_cast<int>(pid), "VmRSS").value_or(-1);
      }
      const auto stop = Clock::now();
      service.Stop();
      to_stopped.Add(service.WaitForState(SERVICE_STOPPED, stop, interval).value_or(-1));
    }
  }

  const bench::Figures running = to_running.Summary();
  const bench::Figures stopped = to_stopped.Summary();
  std::printf("PERIODOBASE=%s rounds=%zu\n", period.c_str(), running.count);
  std::printf("start -> running: median %.1f ms, max %.1f ms\n", running.median, running.max);
  std::printf("stop  -> stopped: median %.1f ms, max %.1f ms\n", stopped.median, stopped.max);
  std::printf("resident memory of the idle agent: %ld KiB\n", rss_kib);
  return 0;
}
