// Measures the inventories and the service list:
//  1. round trips of SWINV and SERVICE_LIST against the running agent service
//     (a new connection per request, "WORD\nQUIT\n", read until the agent
//     closes), and the size of the replies;
//  2. the software inventory in this process over this machine's registry view
//     and over generated package databases of 1000 and 5000 packages.
//
// Usage: inventory_bench AGENT_BINARY [ROUNDS]
// The agent is copied into a temporary program folder with its own manager root.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent/RegistryDeclaration.h"
#include "bench/BenchSupport.h"
#include "platform/RegistryView.h"
#include "platform/linux/RegistryInventory.h"

namespace {

using namespace platform;
using bench::Clock;
using bench::Figures;

// Times the calls until one fails; all figures -1 when the first one fails.
Figures Measure(int rounds, const std::function<bool()>& once) {
  bench::Series series;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!once()) break;
    series.Add(bench::MsSince(start));
  }
  return series.Summary(-1);
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

  {
    const int port = bench::FreeLoopbackPort();
    bench::AgentService service(argv[1], "LISTEN=127.0.0.1\r\nPORT=" + std::to_string(port) +
                                             "\r\nRRDTOOL=FALSE\r\nLOGLEVEL=0\r\n");
    if (!service.Installed() || !service.StartServing(port)) {
      std::fprintf(stderr, "the agent service did not start (error %u)\n", GetLastError());
    } else {
      std::string reply;
      const auto request = [&](const char* word) {
        return [&reply, port, word] {
          std::optional<std::string> text = bench::RequestOnce(port, word);
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
  }  // the service is stopped and removed with its folder here

  BenchInProcess(rounds);
  return 0;
}
