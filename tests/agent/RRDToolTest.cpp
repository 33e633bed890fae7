#include "agent/RRDTool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "agent/MetricSnapshot.h"
#include "agent/RRDLauncher.h"
#include "agent/RRDTemplate.h"
#include "common/TextUtil.h"
#include "platform/ChildProcess.h"
#include "platform/FileAccess.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace agent {
namespace {

using testsupport::ReadAll;
using testsupport::WaitUntil;
using testsupport::WriteAll;

// Processes whose current folder is the given one.
std::vector<int> ProcessesWorkingIn(const std::string& folder) {
  std::vector<int> found;
  std::error_code ec;
  const std::filesystem::path wanted = std::filesystem::canonical(folder, ec);
  if (ec) return found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    char cwd[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    const ssize_t n = readlink(link.c_str(), cwd, sizeof(cwd) - 1);
    if (n > 0 && std::filesystem::path(std::string(cwd, static_cast<size_t>(n))) == wanted) {
      found.push_back(pid);
    }
  }
  closedir(proc);
  return found;
}

// The values of the last update of a database, as `rrdtool lastupdate` shows
// them ("37.5", "1000 2000"); empty when it has none.
std::string LastUpdate(const std::string& database) {
  const auto rrdtool = platform::ResolveCommand({"rrdtool"});
  if (!rrdtool) return {};
  const testsupport::ProgramResult result =
      testsupport::RunProgram({rrdtool->front(), "lastupdate", database});
  if (result.exit_code != 0) return {};
  std::string text = result.output;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t colon = text.rfind(": ");
  return colon == std::string::npos ? std::string() : text.substr(colon + 2);
}

// A program folder whose RRD processes are waited for before it is removed.
class RrdFeedTest : public AgentHomeTest {
 protected:
  RrdFeedTest() {
    MetricSnapshot& snapshot = TheMetricSnapshot();
    snapshot.CpuBusy[0] = 37.5;
    snapshot.RamAvailable = 123456789;
    snapshot.RamTotal = 536330240;
    snapshot.DiskTotal[0] = 1e10;
    snapshot.DiskFree[0] = 4e9;
    snapshot.NetIn[0] = 1000;
    snapshot.NetOut[0] = 2000;
  }
  ~RrdFeedTest() override {
    TheRrdLauncher().WaitIdle(std::chrono::seconds(30));
    WaitForRrdProcesses();
    TheMetricSnapshot() = MetricSnapshot{};
  }

  std::string Rrd(const std::string& name) const { return home_.Path("RRDTOOL/" + name); }

  // Feeds and waits until the launcher has started the feed's processes.
  void Feed() {
    FeedRRDTool();
    ASSERT_TRUE(TheRrdLauncher().WaitIdle(std::chrono::seconds(30)));
  }

  bool WaitForRrdProcesses() const {
    return WaitUntil([&] { return ProcessesWorkingIn(Rrd("")).empty(); });
  }
};

TEST(RrdFeedIsDue, FeedsOnlyWhenSwitchedOnAndMoreThan300SecondsHavePassed) {
  common::AgentConfig config;
  const std::time_t start = 1000000;
  EXPECT_FALSE(RrdFeedIsDue(config, start, start + 10000));  // key absent
  for (const char* off : {"FALSE", "false", "0"}) {
    config.RrdTool = off;
    EXPECT_FALSE(RrdFeedIsDue(config, start, start + 10000)) << off;
  }
  for (const char* on : {"TRUE", "1", "YES"}) {
    config.RrdTool = on;
    EXPECT_FALSE(RrdFeedIsDue(config, start, start + 300)) << on;
    EXPECT_TRUE(RrdFeedIsDue(config, start, start + 301)) << on;
  }
}

TEST(UpdateCommand, ReplacesTheTimeAndTheDatabasesValues) {
  const RrdValues values{37.5, 123456789, 6e9, 0, 1.25, 123456789, 987654321};
  EXPECT_EQ(UpdateCommand("CPU", "rrdtool  update CPU.rrd $TIME:$VAL", 1070000000, values),
            "rrdtool  update CPU.rrd 1070000000:37.5");
  EXPECT_EQ(UpdateCommand("NET", "rrdtool  update NET.rrd $TIME:$VAL1:$VAL2", 1070000000, values),
            "rrdtool  update NET.rrd 1070000000:123456789:987654321");
  EXPECT_EQ(UpdateCommand("DSKC", "u $TIME:$VAL $VAL", 5, values), "u 5:6000000000 6000000000");
  EXPECT_EQ(UpdateCommand("DSKD", "u $TIME:$VAL", 5, values), "u 5:0");
  EXPECT_EQ(UpdateCommand("DSKE", "u $TIME:$VAL", 5, values), "u 5:1.25");
  EXPECT_EQ(UpdateCommand("MEM", "u $time:$VAL", 5, values), "u $time:123456789");
  EXPECT_EQ(UpdateCommand("SWAP", "u $TIME:$VAL", 5, values), std::nullopt);
}

TEST_F(RrdFeedTest, FeedRRDToolOnAFreshInstallationCreatesFeedsAndDrawsEveryDatabase) {
  char cwd_before[PATH_MAX];
  ASSERT_NE(getcwd(cwd_before, sizeof(cwd_before)), nullptr);

  Feed();

  char cwd_after[PATH_MAX];
  ASSERT_NE(getcwd(cwd_after, sizeof(cwd_after)), nullptr);
  EXPECT_STREQ(cwd_after, cwd_before);
  EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int>{});
  EXPECT_EQ(ReadAll(Rrd("rrdtool.tpl")), DefaultTemplateText(536330240, 1e10));
  EXPECT_EQ(ReadAll(Rrd("RrdMkGraph.sh")), DefaultGraphScriptText(536330240, 1e10, 0, 0));

  ASSERT_TRUE(WaitForRrdProcesses());
  // The first sample of every database is kept.
  EXPECT_EQ(LastUpdate(Rrd("CPU.rrd")), "37.5");
  EXPECT_EQ(LastUpdate(Rrd("MEM.rrd")), "123456789");
  EXPECT_EQ(LastUpdate(Rrd("DSKC.rrd")), "6000000000");
  EXPECT_EQ(LastUpdate(Rrd("NET.rrd")), "1000 2000");
  EXPECT_FALSE(platform::IsRegularFile(Rrd("DSKD.rrd")));
  for (const char* image :
       {"CPU-6Horas.gif", "MEM-6Horas.gif", "DSKC-6Horas.gif", "NET-6Horas.gif"}) {
    EXPECT_EQ(ReadAll(Rrd(image)).substr(0, 4), "\x89PNG") << image;
  }

  const std::string log = Log();
  EXPECT_EQ(CountLines(log, "rrdtool: rrdtool"), 6) << log;
  EXPECT_EQ(CountLines(log, "rrdtool: rrdtool  update CPU.rrd "), 1) << log;
  EXPECT_EQ(CountLines(log, ":37.5 -"), 1) << log;
  EXPECT_EQ(CountLines(log, " Func "), 0) << log;
}

TEST_F(RrdFeedTest, FeedRRDToolKeepsAnEditedTemplateAndRewritesADeletedOne) {
  mkdir(Rrd("").c_str(), 0755);
  const std::string edited =
      "CREATE##CPU##rrdtool create CPU.rrd --start $TIME --step 60 "
      "DS:CPU:GAUGE:1200:0:100 RRA:AVERAGE:0.5:1:600\r\n"
      "update##cpu##rrdtool update CPU.rrd $TIME:$VAL\r\n";
  WriteAll(Rrd("rrdtool.tpl"), edited);

  Feed();
  ASSERT_TRUE(WaitForRrdProcesses());
  EXPECT_EQ(ReadAll(Rrd("rrdtool.tpl")), edited);
  EXPECT_EQ(LastUpdate(Rrd("CPU.rrd")), "37.5");
  EXPECT_FALSE(platform::IsRegularFile(Rrd("MEM.rrd")));
  EXPECT_EQ(CountLines(Log(), "rrdtool: rrdtool"), 1) << Log();

  // Deleted, the template comes back with the sizes of the moment; the graph
  // script is left as it is.
  const std::string script = ReadAll(Rrd("RrdMkGraph.sh"));
  std::remove(Rrd("rrdtool.tpl").c_str());
  TheMetricSnapshot().RamTotal = 1073741824;
  Feed();
  EXPECT_EQ(ReadAll(Rrd("rrdtool.tpl")), DefaultTemplateText(1073741824, 1e10));
  EXPECT_EQ(ReadAll(Rrd("RrdMkGraph.sh")), script);
  EXPECT_TRUE(WaitForRrdProcesses());
  EXPECT_TRUE(platform::IsRegularFile(Rrd("MEM.rrd")));
}

TEST_F(RrdFeedTest, UpdateRRDToolDBsStartsEveryUpdateRecordAndStopsAtABrokenOne) {
  mkdir(Rrd("").c_str(), 0755);
  // Without UPDATE records nothing is started or logged.
  WriteAll(Rrd("rrdtool.tpl"), "CREATE##CPU##rrdtool create CPU.rrd\r\n");
  UpdateRRDToolDBs(1, 2, 3, 4, 5, 6, 7);
  EXPECT_EQ(Log(), "");

  WriteAll(Rrd("rrdtool.tpl"),
           "UPDATE##CPU##rrdtool update CPU.rrd $TIME:$VAL\r\n"
           "UPDATE##SWAP##rrdtool update SWAP.rrd $TIME:$VAL\r\n"
           "UPDATE##CPU##rrdtool update CPU2.rrd $TIME:$VAL\r\n"
           "UPDATE##MEM\r\n"
           "UPDATE##DSKC##rrdtool update DSKC.rrd $TIME:$VAL\r\n");
  UpdateRRDToolDBs(1, 2, 3, 4, 5, 6, 7);
  const std::string log = Log();
  EXPECT_EQ(CountLines(log, "rrdtool: rrdtool update CPU"), 2) << log;
  EXPECT_EQ(CountLines(log, "rrdtool: "), 2) << log;
  EXPECT_EQ(CountLines(log, "Subscript out of range UpdateRRDToolDBs Func "), 1) << log;
}

TEST_F(RrdFeedTest, AProgramThatCannotBeStartedIsLoggedOnce) {
  testsupport::ScopedEnv path("PATH", home_.Path("empty"));
  mkdir(Rrd("").c_str(), 0755);
  WriteAll(Rrd("rrdtool.tpl"),
           "CREATE##CPU##rrdtool create CPU.rrd\r\n"
           "UPDATE##CPU##rrdtool update CPU.rrd $TIME:$VAL\r\n"
           "UPDATE##MEM##rrdtool update MEM.rrd $TIME:$VAL\r\n");

  EXPECT_EQ(CreateRRDTool("CPU"), std::nullopt);
  EXPECT_EQ(CreateRRDTool("DSKD"), std::nullopt);  // no record: nothing to start, no message
  UpdateRRDToolDBs(1, 2, 3, 4, 5, 6, 7);
  MakeRRDToolGraphs();  // no graph script: nothing

  const std::string log = Log();
  EXPECT_EQ(CountLines(log, "Cannot start rrdtool CreateRRDTool Func "), 1) << log;
  EXPECT_EQ(CountLines(log, "Cannot start rrdtool UpdateRRDToolDBs Func "), 1) << log;
  EXPECT_EQ(CountLines(log, " Func "), 2) << log;
}

}  // namespace
}  // namespace agent
