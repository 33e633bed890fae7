// Measures the watchdog beside the agent, both run as services of an embedded
// service manager in a temporary program folder: the time from the agent's stop
// control to the agent answering PING again, restarted by the watchdog, and the
// watchdog's resident memory and CPU time over an idle period.
//
// Usage: watchdog_bench AGENT_BINARY WATCHDOG_BINARY [RESTARTS] [IDLE_SECONDS]
//        (defaults: 10 restarts, 120 s idle)

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "platform/ServiceManager.h"

using namespace platform;
using bench::Clock;

namespace {

constexpr const char* kWatchdogName = "Tarvo WatchDog Service";

// utime + stime of a process in seconds; negative when unreadable.
double CpuSeconds(DWORD pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Polls until the condition holds or 60 s pass.
template <typename Condition>
bool WaitFor(Condition condition) {
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < limit) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The watchdog installed and started beside the agent; stopped (and killed when
// it does not stop) and deleted when the object goes.
class WatchdogService {
 public:
  WatchdogService(const std::string& folder, const std::string& binary) {
    const std::string program = folder + "/TarvoWDService";
    std::filesystem::copy_file(binary, program);
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    service_ = CreateServiceA(manager_, kWatchdogName, kWatchdogName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr);
  }
  ~WatchdogService() {
    if (service_ == nullptr) return;
    SERVICE_STATUS status{};
    const DWORD pid = Pid();
    ControlService(service_, SERVICE_CONTROL_STOP, &status);
    if (!WaitFor([&] { return Pid() == 0; }) && pid != 0) kill(static_cast<pid_t>(pid), SIGKILL);
    DeleteService(service_);
    CloseServiceHandle(service_);
    CloseServiceHandle(manager_);
  }
  bool Start() { return service_ != nullptr && StartServiceA(service_, 0, nullptr); }
  DWORD Pid() const {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
  }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY WATCHDOG_BINARY [RESTARTS] [IDLE_SECONDS]\n",
                 argv[0]);
    return 2;
  }
  const int restarts = argc > 3 ? std::atoi(argv[3]) : 10;
  const int idle_seconds = argc > 4 ? std::atoi(argv[4]) : 120;
  const int port = bench::FreeLoopbackPort();
  bench::AgentService agent(argv[1], "LISTEN=127.0.0.1\r\nPORT=" + std::to_string(port) +
                                         "\r\nRRDTOOL=FALSE\r\n");
  if (!agent.Installed() || !agent.StartServing(port)) {
    std::fprintf(stderr, "the agent service did not start: %u\n", GetLastError());
    return 1;
  }
  WatchdogService watchdog(agent.Folder(), argv[2]);
  if (!watchdog.Start() || !WaitFor([&] { return watchdog.Pid() != 0; })) {
    std::fprintf(stderr, "the watchdog service did not start: %u\n", GetLastError());
    return 1;
  }

  // Idle first: the agent runs, so every turn only queries it.
  const DWORD wd_pid = watchdog.Pid();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpu_before = CpuSeconds(wd_pid);
  const auto idle_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double idle_wall = bench::MsSince(idle_start) / 1000.0;
  const double cpu_used = CpuSeconds(wd_pid) - cpu_before;
  const long rss = bench::ProcessStatusKiB(static_cast<int>(wd_pid), "VmRSS").value_or(-1);
  const long hwm = bench::ProcessStatusKiB(static_cast<int>(wd_pid), "VmHWM").value_or(-1);

  bench::Series restart;
  for (int round = 0; round < restarts; ++round) {
    DWORD old_pid = 0;
    agent.State(&old_pid);
    const auto start = Clock::now();
    if (!agent.Stop()) break;
    const bool back = WaitFor([&] {
      DWORD pid = 0;
      return agent.State(&pid) == SERVICE_RUNNING && pid != old_pid;
    }) && WaitFor([&] { return bench::RequestOnce(port, "PING").has_value(); });
    if (!back) {
      std::fprintf(stderr, "round %d: the agent did not come back within 120 s\n", round);
      break;
    }
    const double ms = bench::MsSince(start);
    restart.Add(ms);
    std::printf("restart %d: %.0f ms\n", round + 1, ms);
    std::fflush(stdout);
  }

  const bench::Figures figures = restart.Summary(-1);
  std::printf("stop of the agent to PING answered again: n=%zu median %.0f ms, min %.0f, max %.0f\n",
              figures.count, figures.median, figures.min, figures.max);
  std::printf("watchdog idle over %.0f s: CPU %.3f s = %.4f %% of one core; RSS %.2f MiB (peak %.2f MiB)\n",
              idle_wall, cpu_used, 100.0 * cpu_used / idle_wall, rss / 1024.0, hwm / 1024.0);
  return 0;
}
