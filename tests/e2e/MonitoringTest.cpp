// The monitoring replies against the running agent service, compared with what
// /proc, statvfs and ss tell about this machine at the same time.

#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"
#include "tests/support/Processes.h"

namespace e2e {
namespace {

using testsupport::AgentRequest;
using testsupport::ReadAll;
using testsupport::WaitUntil;

constexpr auto kLongWait = std::chrono::seconds(90);

// name -> value of a RESUMEMON record, and the names in order.
struct Record {
  std::vector<std::string> Names;
  std::map<std::string, std::string> Values;

  double Number(const std::string& name) const {
    const auto found = Values.find(name);
    return found == Values.end() || found->second.empty() ? -1 : std::stod(found->second);
  }
};

Record ParseRecord(const std::string& text) {
  Record record;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    record.Names.push_back(line.substr(0, equals));
    record.Values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return record;
}

// A figure of /proc/meminfo in bytes.
double MemInfoBytes(const std::string& key) {
  std::istringstream lines(ReadAll("/proc/meminfo"));
  std::string name;
  double kib = 0;
  std::string unit;
  while (lines >> name >> kib) {
    std::getline(lines, unit);
    if (name == key + ":") return kib * 1024;
  }
  return -1;
}

// Received and sent bytes of an interface in /proc/net/dev.
std::pair<double, double> InterfaceBytes(const std::string& interface) {
  std::istringstream lines(ReadAll("/proc/net/dev"));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    if (name != interface) continue;
    std::istringstream fields(line.substr(colon + 1));
    std::vector<double> values(16);
    for (double& value : values) fields >> value;
    return {values[0], values[8]};
  }
  return {-1, -1};
}

// Processor idle time of /proc/stat (idle + iowait), averaged over the
// processors, in 100 ns units.
double AverageIdle100ns() {
  std::istringstream lines(ReadAll("/proc/stat"));
  std::string line;
  double idle = 0;
  int processors = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("cpu", 0) != 0 || line.size() < 4 || line[3] == ' ') continue;
    std::istringstream fields(line.substr(line.find(' ')));
    double user, nice, system, idle_ticks, iowait;
    fields >> user >> nice >> system >> idle_ticks >> iowait;
    idle += idle_ticks + iowait;
    ++processors;
  }
  return idle / processors * 1e7 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Busy and total ticks of one processor in /proc/stat.
std::pair<double, double> ProcessorTicks(int processor) {
  std::istringstream lines(ReadAll("/proc/stat"));
  std::string line;
  const std::string key = "cpu" + std::to_string(processor) + " ";
  while (std::getline(lines, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream fields(line.substr(key.size()));
    double total = 0, idle = 0, value = 0;
    for (int i = 0; fields >> value; ++i) {
      total += value;
      if (i == 3 || i == 4) idle += value;
    }
    return {total - idle, total};
  }
  return {0, 0};
}

// Percent busy of a processor over the next half second, as /proc/stat shows it.
double MeasuredBusy(int processor) {
  const auto before = ProcessorTicks(processor);
  usleep(500000);
  const auto after = ProcessorTicks(processor);
  const double total = after.second - before.second;
  return total > 0 ? 100 * (after.first - before.first) / total : 0;
}

size_t ProcessFolders() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) ++count;
  }
  return count;
}

double LoadAvgThreads() {
  std::istringstream fields(ReadAll("/proc/loadavg"));
  std::string a, b, c, entities;
  fields >> a >> b >> c >> entities;
  return std::stod(entities.substr(entities.find('/') + 1));
}

// A child that spins on one processor until it is killed.
class Spinner : public testsupport::ForkedChild {
 public:
  explicit Spinner(int processor)
      : ForkedChild([processor] {
          cpu_set_t set;
          CPU_ZERO(&set);
          CPU_SET(processor, &set);
          sched_setaffinity(0, sizeof(set), &set);
          volatile unsigned long spin = 0;
          while (true) spin = spin + 1;
        }) {}
};

class MonitoringE2e : public ::testing::Test {
 protected:
  // PERIODOBASE=0 unless the lines set it.
  void Start(std::vector<std::string> lines) {
    lines.insert(lines.begin(), {"RRDTOOL=FALSE", "LOGLEVEL=2", "PERIODOBASE=0"});
    install_.WriteConfig(lines);
    ASSERT_GT(install_.StartAgentService(), 0) << install_.Log();
  }
  Record Resume() {
    const std::optional<std::string> reply = AgentRequest(install_.port(), "RESUMEMON\n");
    EXPECT_TRUE(reply.has_value());
    return ParseRecord(reply.value_or(""));
  }
  std::string Reply(const std::string& request) {
    return AgentRequest(install_.port(), request).value_or("<no reply>");
  }
  // Waits until the sampler has been through a few passes.
  void WaitForPasses() {
    ASSERT_TRUE(WaitUntil([&] { return Resume().Number("PROCS") > 0; }, kLongWait))
        << install_.Log();
  }

  AgentInstall install_;
};

TEST_F(MonitoringE2e, ResumeMonMatchesThisMachine) {
  Start({"NETINTERFACE1=lo"});
  WaitForPasses();
  const auto before = InterfaceBytes("lo");
  ASSERT_TRUE(WaitUntil([&] { return Resume().Number("NETIN1") >= before.first; }, kLongWait));
  const Record record = Resume();
  const auto after = InterfaceBytes("lo");

  EXPECT_EQ(record.Names,
            (std::vector<std::string>{
                "CPU1",          "CPU2",    "PERFMON1", "PERFMON2", "PERFMON3",  "PERFMON4",
                "DISK1",         "DISK2",   "DISK3",    "DISK4",    "DISK5",     "DISK6",
                "DISK7",         "DISK8",   "NETIN1",   "NETOUT1",  "NETIN2",    "NETOUT2",
                "NETIN3",        "NETOUT3", "NETIN4",   "NETOUT4",  "MEMORYRAM", "MEMORYSWAP",
                "MEMORYVIRTUAL", "PROCS",   "THREADS",  "CMD1",     "CMD2",      "CMD3"}));
  // Other programs come and go while the agent counts (tests run side by
  // side), so the counts need only agree with this machine's at some pass.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const Record now = Resume();
        return std::abs(now.Number("PROCS") - static_cast<double>(ProcessFolders())) <= 10 &&
               std::abs(now.Number("THREADS") - LoadAvgThreads()) <= 30;
      },
      kLongWait))
      << "PROCS " << Resume().Number("PROCS") << " against " << ProcessFolders();
  const double available = MemInfoBytes("MemAvailable");
  EXPECT_NEAR(record.Number("MEMORYRAM"), available, available * 0.02);
  EXPECT_GE(record.Number("MEMORYSWAP"), 0);
  EXPECT_GT(record.Number("MEMORYVIRTUAL"), 0);
  struct statvfs root {};
  ASSERT_EQ(statvfs("/", &root), 0);
  const double free_bytes = static_cast<double>(root.f_bavail) * root.f_frsize;
  EXPECT_NEAR(record.Number("DISK1"), free_bytes, std::max(free_bytes * 0.01, 256e6));
  EXPECT_GE(record.Number("NETIN1"), before.first);
  EXPECT_LE(record.Number("NETIN1"), after.first);
  EXPECT_LE(record.Number("NETOUT1"), after.second);
  EXPECT_GT(record.Number("NETOUT1"), 0);
  for (const char* cpu : {"CPU1", "CPU2"}) {
    const std::string& text = record.Values.at(cpu);
    EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << text;
    EXPECT_LE(record.Number(cpu), 100);
  }
  // MEMORY RAM is the used amount: total minus available.
  const double used = std::stod(Reply("MEMORY RAM\n"));
  EXPECT_NEAR(used, MemInfoBytes("MemTotal") - available, available * 0.02 + 64e6);
}

TEST_F(MonitoringE2e, ProcessorBusyRisesWhileAProcessSpinsOnIt) {
  // Passes about a second apart, so that the 10 ms ticks of /proc/stat weigh
  // little in each reading.
  Start({"PERIODOBASE=1000"});
  WaitForPasses();
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  for (int processor = 0; processor < std::min(2L, processors); ++processor) {
    const std::string name = processor == 0 ? "CPU1" : "CPU2";
    Spinner spinner(processor);
    EXPECT_TRUE(WaitUntil([&] { return Resume().Number(name) > 80; }, kLongWait))
        << name << " stayed at " << Resume().Values[name];
    spinner.Stop();
    // Other work may keep the processor busy after the spinner has gone; then
    // the agent rightly stays high, as /proc/stat shows.
    EXPECT_TRUE(WaitUntil(
        [&] { return Resume().Number(name) < 80 || MeasuredBusy(processor) >= 90; }, kLongWait))
        << name << " stayed at " << Resume().Values[name];
  }
}

TEST_F(MonitoringE2e, ChosenCountersReportRawValuesAndProcessIsAskedForWhenNamed) {
  // A process with a name of its own: a copy of sleep named after this test's pid.
  const std::string name = "tarvo" + std::to_string(getpid());
  const std::string program = install_.Path(name);
  std::filesystem::copy_file("/bin/sleep", program);
  const pid_t sleeper = fork();
  if (sleeper == 0) {
    execl(program.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(sleeper, 0);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } reaper{sleeper};

  Start({"PERFORMANCEMON1=238|% Processor Time|_Total|CPU",
         "PERFORMANCEMON2=510|Bytes Received|lo|X",
         "PERFORMANCEMON3=230|ID Process|" + name + "|ME"});
  WaitForPasses();
  ASSERT_TRUE(WaitUntil([&] { return Resume().Number("PERFMON3") == sleeper; }, kLongWait))
      << Resume().Values["PERFMON3"] << " vs " << sleeper;
  const double received_before = InterfaceBytes("lo").first;
  ASSERT_TRUE(WaitUntil([&] { return Resume().Number("PERFMON2") >= received_before; }, kLongWait));
  const Record record = Resume();
  const double idle_now = AverageIdle100ns();
  EXPECT_LE(record.Number("PERFMON1"), idle_now);
  EXPECT_GT(record.Number("PERFMON1"), idle_now - 120 * 1e7);
  EXPECT_LE(record.Number("PERFMON2"), InterfaceBytes("lo").first);
  EXPECT_NE(install_.Log().find(" Chaves Carregadas:(2 4 236 238 260 510 230)"), std::string::npos);
}

TEST_F(MonitoringE2e, CommandProbeCountsEstablishedConnectionsToALocalPort) {
  // A listener with two established connections: ss shows each from both ends.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);
  std::vector<int> sockets;
  for (int i = 0; i < 2; ++i) {
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    sockets.push_back(client);
    sockets.push_back(accept(listener, nullptr, nullptr));
  }

  Start({"COMMAND1=ss | -t -n |:" + std::to_string(port) + "|ESTAB"});
  EXPECT_TRUE(WaitUntil([&] { return Resume().Values["CMD1"] == "5"; }, kLongWait))
      << Resume().Values["CMD1"];
  EXPECT_EQ(Reply("CMD 1\n"), "5");
  for (const int s : sockets) close(s);
  close(listener);
}

}  // namespace
}  // namespace e2e
