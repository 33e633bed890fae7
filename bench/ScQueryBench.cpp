// tarvo-sc query NAME on a machine that systemd runs with 250 service units (a
// mock of systemd's manager on a private bus, as the tests use): the wall time
// of one whole tarvo-sc run, for a unit id, an id without ".service" and a
// display name (which reads the whole list, the unit files systemd has not
// loaded included).
//
// Usage: sc_query_bench TARVO_SC_BINARY [RUNS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/support/SystemdMock.h"

extern char** environ;

namespace {

constexpr int kUnits = 250;

std::string Number(int i) {
  char text[8];
  std::snprintf(text, sizeof text, "%03d", i);
  return text;
}

// Runs tarvo-sc query NAME with its output on /dev/null; whether it exited 0.
bool Query(const std::string& sc, const std::string& name) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {sc, "query", name};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, sc.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s TARVO_SC_BINARY [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string sc = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 30;

  // Every fifth unit is a file systemd has not loaded; every tenth has an alias.
  std::vector<testsupport::MockUnit> units;
  for (int i = 0; i < kUnits; ++i) {
    std::vector<std::string> aliases;
    if (i % 10 == 3) aliases.push_back("alias-" + Number(i) + ".service");
    units.emplace_back("unit-" + Number(i) + ".service", "Probe Unit " + Number(i),
                       i % 2 == 0 ? "active" : "inactive", "enabled", i % 5 != 4, aliases);
  }
  testsupport::SystemdMock mock(units);
  if (!mock.ready()) {
    std::fprintf(stderr, "the bus mock did not come up\n");
    return 1;
  }

  std::printf("tarvo-sc query NAME against %d units (systemd mock), %d runs each, ms\n", kUnits,
              runs);
  std::printf("%-34s %8s %8s %8s %8s\n", "name", "min", "median", "p90", "max");
  bool failed = false;
  for (const char* name : {"unit-125.service", "unit-125", "Probe Unit 125"}) {
    Query(sc, name);  // first run: caches warm, units loaded
    bench::Series series;
    for (int i = 0; i < runs; ++i) series.Time([&] { return Query(sc, name); });
    const bench::Figures f = series.Summary();
    failed |= series.Failed();
    std::printf("%-34s %8.2f %8.2f %8.2f %8.2f%s\n", name, f.min, f.median, f.p90, f.max,
                series.Failed() ? "  (a run failed)" : "");
  }
  return failed ? 1 : 0;
}
