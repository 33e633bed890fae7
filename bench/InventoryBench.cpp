// Measures the inventories and the service list:
//  1. round trips of SWINV and SERVICE_LIST against the running agent service
//     (a new connection per request, "WORD\nQUIT\n", read until the agent
//     closes), and the size of the replies;
//  2. the software inventory in this process over this machine's registry view
//     and over generated package databases of 1000 and 5000 packages.
//
// Usage: inventory_bench AGENT_BINARY [ROUNDS]
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

#include "agent/RegistryDeclaration.h"
#include "platform/RegistryView.h"
#include "platform/ServiceManager.h"
#include "platform/linux/RegistryInventory.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

constexpr const char* kService = "Tarvo Agent Service";

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Figures {
  double median = 0;
  double max = 0;
};

Figures Measure(int rounds, const std::function<bool()>& once) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!once()) break;
    times.push_back(Ms(Clock::now() - start));
  }
  if (times.empty()) return {-1, -1};
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.back()};
}

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
std::optional<std::string> RoundTrip(int port, const std::string& word) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(port));
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) != 0) {
    close(fd);
    return std::nullopt;
  }
  const std::string request = word + "\nQUIT\n";
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

// A dpkg status database of count packages with realistic stanza sizes.
void WriteGeneratedDatabase(const std::string& root, int count) {
  std::filesystem::create_directories(root + "/var/lib/dpkg");
  std::ofstream out(root + "/var/lib/dpkg/status");
  const std::string description(700, 'd');
  for (int i = 0; i < count; ++i) {
    out << "Package: package-" << i << "\nStatus: install ok installed\nPriority: optional\n"
        << "Maintainer: Team " << i << " <team" << i << "@example.org>\nArchitecture: amd64\n"
        << "Version: 1." << i << "-1\nDepends: libc6 (>= 2.34)\nDescription: package " << i << "\n "
        << description << "\n\n";
  }
}

void BenchInProcess(int rounds) {
  std::string text;
  Figures live = Measure(rounds, [&] {
    text = agent::SoftwareInventory();
    return true;
  });
  std::printf("in process, this machine: SWINV median %.2f ms, max %.2f ms, %zu bytes\n",
              live.median, live.max, text.size());
  for (int count : {1000, 5000}) {
    const std::string root = std::filesystem::temp_directory_path().string() + "/tarvo-dpkg-" +
                             std::to_string(getpid()) + "-" + std::to_string(count);
    WriteGeneratedDatabase(root, count);
    auto view = std::make_shared<RegistryView>();
    view->Mount(kUninstallKeyPath, InstalledPackagesSource(root));
    SetLocalMachineView(view);
    agent::SoftwareInventory();  // the first walk parses the database
    const Figures generated = Measure(rounds, [&] {
      text = agent::SoftwareInventory();
      return true;
    });
    std::printf("in process, %d packages: SWINV median %.2f ms, max %.2f ms, %zu bytes\n", count,
                generated.median, generated.max, text.size());
    SetLocalMachineView(nullptr);
    std::filesystem::remove_all(root);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;

  char folder_template[] = "/tmp/tarvo-bench-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string agent_path = folder + "/AgentTarvoService";
  std::filesystem::copy_file(argv[1], agent_path);
  const int port = FreePort();
  std::ofstream(folder + "/TarvoAgent.cfg")
      << "LISTEN=127.0.0.1\r\nPORT=" << port << "\r\nRRDTOOL=FALSE\r\nLOGLEVEL=0\r\n";
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
    std::string reply;
    const auto request = [&](const char* word) {
      return [&reply, port, word] {
        std::optional<std::string> text = RoundTrip(port, word);
        if (text) reply = std::move(*text);
        return text.has_value();
      };
    };
    const Figures swinv = Measure(rounds, request("SWINV"));
    const size_t swinv_bytes = reply.size();
    const size_t packages = static_cast<size_t>(std::count(reply.begin(), reply.end(), '\n'));
    const Figures list = Measure(rounds, request("SERVICE_LIST"));
    std::printf("round trips over %d requests (new connection each):\n", rounds);
    std::printf("  SWINV:        median %.2f ms, max %.2f ms, reply %zu bytes, %zu packages\n",
                swinv.median, swinv.max, swinv_bytes, packages);
    std::printf("  SERVICE_LIST: median %.2f ms, max %.2f ms, reply %zu bytes\n", list.median,
                list.max, reply.size());
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

  BenchInProcess(rounds);
  return 0;
}
