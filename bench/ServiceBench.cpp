// Measures how fast the agent service starts and stops under the embedded
// service manager, and its resident memory once idle.
//
// Usage: service_bench AGENT_BINARY [ROUNDS] [PERIODOBASE]
// The agent is copied into a temporary program folder with its own manager root.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServiceManager.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

constexpr const char* kService = "Tarvo Agent Service";

DWORD CurrentState(SC_HANDLE service, DWORD* pid = nullptr) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 0;
  }
  if (pid) *pid = status.dwProcessId;
  return status.dwCurrentState;
}

// Milliseconds until the state is reached (polled every 200 microseconds), or -1.
double WaitForState(SC_HANDLE service, DWORD state, Clock::time_point since) {
  const auto limit = since + std::chrono::seconds(30);
  while (Clock::now() < limit) {
    if (CurrentState(service) == state) {
      return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return -1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

long ResidentKiB(DWORD pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY [ROUNDS] [PERIODOBASE]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::string period = argc > 3 ? argv[3] : "2000";

  char folder_template[] = "/tmp/tarvo-bench-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string agent = folder + "/AgentTarvoService";
  std::filesystem::copy_file(argv[1], agent);
  std::ofstream(folder + "/TarvoAgent.cfg")
      << "LISTEN=127.0.0.1\r\nPORT=0\r\nRRDTOOL=FALSE\r\nPERIODOBASE=" << period << "\r\n";
  setenv("TARVO_SCM_ROOT", (folder + "/scm").c_str(), 1);

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = CreateServiceA(manager, kService, kService, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, agent.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  if (service == nullptr) {
    std::fprintf(stderr, "CreateService failed: %u\n", GetLastError());
    return 1;
  }

  std::vector<double> to_running, to_stopped;
  long rss_kib = -1;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    if (!StartServiceA(service, 0, nullptr)) {
      std::fprintf(stderr, "StartService failed: %u\n", GetLastError());
      break;
    }
    to_running.push_back(WaitForState(service, SERVICE_RUNNING, start));
    if (round == 0) {
      // Let the first passes run, then read the resident memory of the idle agent.
      std::this_thread::sleep_for(std::chrono::seconds(5));
      DWORD pid = 0;
      CurrentState(service, &pid);
      rss_kib = ResidentKiB(pid);
    }
    SERVICE_STATUS status{};
    const auto stop = Clock::now();
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    to_stopped.push_back(WaitForState(service, SERVICE_STOPPED, stop));
  }
  DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  std::filesystem::remove_all(folder);

  std::printf("PERIODOBASE=%s rounds=%zu\n", period.c_str(), to_running.size());
  std::printf("start -> running: median %.1f ms, max %.1f ms\n", Median(to_running),
              to_running.empty() ? 0 : *std::max_element(to_running.begin(), to_running.end()));
  std::printf("stop  -> stopped: median %.1f ms, max %.1f ms\n", Median(to_stopped),
              to_stopped.empty() ? 0 : *std::max_element(to_stopped.begin(), to_stopped.end()));
  std::printf("resident memory of the idle agent: %ld KiB\n", rss_kib);
  return 0;
}
