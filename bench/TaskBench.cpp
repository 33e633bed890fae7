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

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/TaskFolders.h"
#include "platform/ChildProcess.h"
#include "platform/ServiceManager.h"

namespace {

using namespace platform;
using bench::Series;

void Print(const char* what, const Series& series, double baseline) {
  const bench::Figures figures = series.Summary(-1);
  std::printf("  %-28s median %7.2f ms, max %7.2f ms", what, figures.median, figures.max);
  if (baseline >= 0) std::printf(", over the direct run %+.2f ms", figures.median - baseline);
  std::printf("%s\n", series.Failed() ? "  (some requests failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s AGENT_BINARY [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 100;

  const int port = bench::FreeLoopbackPort();
  bench::AgentService service(
      argv[1], "LISTEN=127.0.0.1\r\nPORT=" + std::to_string(port) +
                   "\r\nRRDTOOL=FALSE\r\nLOGLEVEL=0\r\nPERIODOBASE=0\r\nALLOWREMOTEEXEC=True\r\n"
                   "REMOTECLIENTS=127.0.0.1;127.0.0\r\n");
  if (service.Installed()) {
    // The agent finds its Tasks folders and the sample task in its program folder.
    setenv("TARVO_HOME", service.Folder().c_str(), 1);
    common::PrepareTaskFolders();
  }
  if (!service.Installed() || !service.StartServing(port)) {
    std::fprintf(stderr, "the agent service did not start (error %u)\n", GetLastError());
  } else {
    const std::vector<std::string> direct_args{"/bin/sh", service.Folder() + "/Tasks/hello.sh"};
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
      ping.Time([&] { return bench::RequestOnce(port, "PING").has_value(); });
      exec.Time([&] {
        const std::optional<std::string> reply = bench::RequestOnce(port, "EXEC HELLO.SH");
        exec_bytes = reply.value_or("").size();
        return exec_bytes > 0;
      });
      task.Time([&] {
        const std::optional<std::string> reply = bench::RequestOnce(
            port, "EXETASK #" + std::to_string(i) + "_BENCH.BUF#BENCH#HELLO.SH#O#U##1#FIM");
        task_bytes = reply.value_or("").size();
        return task_bytes > 0;
      });
    }
    std::printf("task commands, %d rounds, PERIODOBASE=0 (new connection per request):\n", rounds);
    Print("/bin/sh hello.sh directly:", direct, -1);
    Print("PING round trip:", ping, -1);
    Print("EXEC HELLO.SH round trip:", exec, direct.Summary(-1).median);
    Print("EXETASK round trip:", task, direct.Summary(-1).median);
    std::printf("  output: direct %zu bytes, EXEC %zu bytes, EXETASK %zu bytes\n", direct_bytes,
                exec_bytes, task_bytes);
  }
  return 0;
}
