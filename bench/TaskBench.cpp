// Measures the task commands against the running agent service with
// PERIODOBASE=0, each round in turn:
//  1. starting /bin/sh Tasks/hello.sh directly from this process (the child's
//     own cost: the baseline);
//  2. a PING round trip (the protocol's own cost);
//  3. an EXEC HELLO.SH round trip;
//  4. an EXETASK round trip that runs HELLO.SH and writes its record (a new
//     record name each round; the sweep moves them to Tasks/Done meanwhile).
// Every request uses a new connection, "WORD\nQUIT\n", read until the agent
// closes. The agent's overhead per task is the round trip less the direct run.
//
// Usage: task_bench AGENT_BINARY [ROUNDS]     (default 100 rounds)
// The agent is copied into a temporary program folder with its own manager root.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/TaskFolders.h"
#include "platform/ChildProcess.h"
#include "platform/ServiceManager.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

constexpr const char* kService = "Tarvo Agent Service";

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Series {
  std::vector<double> times;
  bool failed = false;

  void Time(const std::function<bool()>& once) {
    const auto start = Clock::now();
    if (!once()) failed = true;
    times.push_back(Ms(Clock::now() - start));
  }
  double Median() const {
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? -1 : sorted[sorted.size() / 2];
  }
  double Max() const { return times.empty() ? -1 : *std::max_element(times.begin(), times.end()); }
};

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// One request on a new connection, ended by QUIT: the agent replies and closes.
// Returns the reply without its zero byte; nothing when the agent is not there.
std::optional<std::string> RoundTrip(int port, const std::string& line) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(port));
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) != 0) {
    close(fd);
    return std::nullopt;
  }
  const std::string request = line + "\nQUIT\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    close(fd);
    return std::nullopt;
  }
  std::string reply;
  char buffer[65536];
  while (true) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 30000) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (reply.empty() || reply[0] != '\0') return std::nullopt;
  return reply.substr(1);
}

DWORD ServiceState(SC_HANDLE service, DWORD* pid) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 0;
  }
  *pid = status.dwProcessId;
  return status.dwCurrentState;
}

bool WaitFor(const std::function<bool()>& condition) {
  const auto limit = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < limit) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void Print(const char* what, const Series& series, double baseline) {
  std::printf("  %-28s median %7.2f ms, max %7.2f ms", what, series.Median(), series.Max());
  if (baseline >= 0) std::printf(", over the direct run %+.2f ms", series.Median() - baseline);
  std::printf("%s\n", series.failed ? "  (some requests failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 100;

  char folder_template[] = "/tmp/tarvo-bench-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string agent_path = folder + "/AgentTarvoService";
  std::filesystem::copy_file(argv[1], agent_path);
  setenv("TARVO_HOME", folder.c_str(), 1);
  common::PrepareTaskFolders();
  const int port = FreePort();
  std::ofstream(folder + "/TarvoAgent.cfg")
      << "LISTEN=127.0.0.1\r\nPORT=" << port
      << "\r\nRRDTOOL=FALSE\r\nLOGLEVEL=0\r\nPERIODOBASE=0\r\nALLOWREMOTEEXEC=True\r\n"
         "REMOTECLIENTS=127.0.0.1;127.0.0\r\n";
  setenv("TARVO_SCM_ROOT", (folder + "/scm").c_str(), 1);

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service =
      CreateServiceA(manager, kService, kService, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, agent_path.c_str(), nullptr,
                     nullptr, nullptr, nullptr, nullptr);
  DWORD pid = 0;
  if (service == nullptr || !StartServiceA(service, 0, nullptr) ||
      !WaitFor([&] { return ServiceState(service, &pid) == SERVICE_RUNNING; }) ||
      !WaitFor([&] { return RoundTrip(port, "PING").has_value(); })) {
    std::fprintf(stderr, "the agent service did not start (error %u)\n", GetLastError());
  } else {
    const std::vector<std::string> direct_args{"/bin/sh", folder + "/Tasks/hello.sh"};
    const ChildRunLimits limits;
    size_t direct_bytes = 0;
    size_t exec_bytes = 0;
    size_t task_bytes = 0;
    Series direct, ping, exec, task;
    for (int i = 0; i < rounds; ++i) {
      direct.Time([&] {
        const ChildRunResult run = RunChildProcess(direct_args, limits);
        direct_bytes = run.Output.size();
        return !run.Output.empty();
      });
      ping.Time([&] { return RoundTrip(port, "PING").has_value(); });
      exec.Time([&] {
        const std::optional<std::string> reply = RoundTrip(port, "EXEC HELLO.SH");
        exec_bytes = reply.value_or("").size();
        return exec_bytes > 0;
      });
      task.Time([&] {
        const std::optional<std::string> reply = RoundTrip(
            port, "EXETASK #" + std::to_string(i) + "_BENCH.BUF#BENCH#HELLO.SH#O#U##1#FIM");
        task_bytes = reply.value_or("").size();
        return task_bytes > 0;
      });
    }
    std::printf("task commands, %d rounds, PERIODOBASE=0 (new connection per request):\n", rounds);
    Print("/bin/sh hello.sh directly:", direct, -1);
    Print("PING round trip:", ping, -1);
    Print("EXEC HELLO.SH round trip:", exec, direct.Median());
    Print("EXETASK round trip:", task, direct.Median());
    std::printf("  output: direct %zu bytes, EXEC %zu bytes, EXETASK %zu bytes\n", direct_bytes,
                exec_bytes, task_bytes);
  }
  if (service != nullptr) {
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (!WaitFor([&] { return ServiceState(service, &pid) == SERVICE_STOPPED; }) && pid > 0) {
      kill(static_cast<pid_t>(pid), SIGKILL);
    }
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  std::filesystem::remove_all(folder);
  return 0;
}
