// The agent as a Type=notify unit sees it: the time from starting the program
// (NOTIFY_SOCKET set) to its READY=1, and from SIGTERM to STOPPING=1 and to its
// end. Runs the agent in a temporary program folder of its own.
//
// Usage: notify_bench AGENT_BINARY [RUNS]
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

extern char** environ;

namespace {

// Waits up to 30 s for a datagram holding `wanted`.
bool WaitFor(int fd, const char* wanted) {
  const auto end = bench::Clock::now() + std::chrono::seconds(30);
  char buffer[4096];
  while (bench::Clock::now() < end) {
    pollfd fds{fd, POLLIN, 0};
    if (poll(&fds, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) continue;
    buffer[n] = '\0';
    if (std::strstr(buffer, wanted) != nullptr) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
  char folder_template[] = "/tmp/tarvo-notify-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string agent = folder + "/AgentTarvoService";
  std::filesystem::copy_file(argv[1], agent);
  std::ofstream(folder + "/TarvoAgent.cfg")
      << "PORT=" << bench::FreeLoopbackPort() << "\r\nLISTEN=127.0.0.1\r\nRRDTOOL=FALSE\r\n";
  const std::string socket_path = folder + "/notify";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
  setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  unsetenv("SYSTEMD_EXEC_PID");

  bench::Series ready, stopping, ended;
  for (int i = 0; i < runs; ++i) {
    char* args[] = {const_cast<char*>(agent.c_str()), nullptr};
    pid_t pid = 0;
    const auto start = bench::Clock::now();
    if (posix_spawn(&pid, agent.c_str(), nullptr, nullptr, args, environ) != 0) return 1;
    if (!WaitFor(fd, "READY=1")) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      std::fprintf(stderr, "no READY=1\n");
      return 1;
    }
    ready.Add(bench::MsSince(start));
    const auto stop = bench::Clock::now();
    kill(pid, SIGTERM);
    if (WaitFor(fd, "STOPPING=1")) stopping.Add(bench::MsSince(stop));
    waitpid(pid, nullptr, 0);
    ended.Add(bench::MsSince(stop));
  }
  close(fd);
  std::filesystem::remove_all(folder);

  auto print = [](const char* what, const bench::Series& series) {
    const bench::Figures f = series.Summary();
    std::printf("%-28s n=%zu min=%.1f median=%.1f p90=%.1f max=%.1f ms\n", what, f.count, f.min,
                f.median, f.p90, f.max);
  };
  print("start -> READY=1", ready);
  print("SIGTERM -> STOPPING=1", stopping);
  print("SIGTERM -> process ended", ended);
  return 0;
}
