#include "agent/MetricsContent.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/RRDTemplate.h"
#include "tests/agent/AgentTestSupport.h"

namespace agent {
namespace {

using testsupport::WriteAll;

class MetricsContentTest : public AgentHomeTest {
 protected:
  MetricsContentTest() {
    std::filesystem::create_directories(home_.Path("RRDTOOL"));
    common::TheAgentConfig().RrdTool = "TRUE";
  }
};

TEST_F(MetricsContentTest, ThePageNamesTheHostAndShowsTheGraphsPresent) {
  const std::string page =
      MetricsPageText("db<1>\xe9", "1.0.0", true, {"CPU-6Horas.gif", "NET-6Horas.gif"});
  EXPECT_NE(page.find("<title>Tarvo Agent - db&lt;1&gt;\xc3\xa9</title>"), std::string::npos);
  EXPECT_NE(page.find("Version 1.0.0."), std::string::npos);
  EXPECT_NE(page.find("<a href=\"/metrics\">/metrics</a>"), std::string::npos);
  EXPECT_NE(page.find("<img src=\"/graphs/CPU-6Horas.gif\" alt=\"CPU graph\">"), std::string::npos);
  EXPECT_NE(page.find("<img src=\"/graphs/NET-6Horas.gif\""), std::string::npos);
  EXPECT_EQ(page.find("MEM-6Horas"), std::string::npos);

  EXPECT_NE(MetricsPageText("h", "1", false, {}).find("RRD feed is off"), std::string::npos);
  EXPECT_NE(MetricsPageText("h", "1", true, {}).find("No graphs yet"), std::string::npos);
  EXPECT_NE(AgentMetricsSite().Page().find("<a href=\"/metrics\">"), std::string::npos);
}

TEST_F(MetricsContentTest, GraphImagesAreRegularFilesOfTheListOnly) {
  WriteAll(home_.Path("RRDTOOL/CPU-6Horas.gif"), "GIF89a");
  WriteAll(home_.Path("RRDTOOL/other.gif"), "GIF89a");
  WriteAll(home_.Path("TarvoAgent.cfg"), "PORT=1");
  ASSERT_EQ(mkfifo(home_.Path("RRDTOOL/MEM-6Horas.gif").c_str(), 0600), 0);
  std::filesystem::create_directories(home_.Path("RRDTOOL/NET-6Horas.gif"));
  WriteAll(home_.Path("RRDTOOL/DSKC-6Horas.gif"), std::string(kMaxGraphBytes + 1, 'x'));

  EXPECT_EQ(AgentGraphImage("CPU-6Horas.gif"), "GIF89a");
  for (const char* name : {"other.gif", "../TarvoAgent.cfg", "MEM-6Horas.gif", "NET-6Horas.gif",
                           "DSKC-6Horas.gif", "DSKD-6Horas.gif"}) {
    EXPECT_FALSE(AgentGraphImage(name)) << name;
  }
  common::TheAgentConfig().RrdTool = "FALSE";
  EXPECT_FALSE(AgentGraphImage("CPU-6Horas.gif"));
}

// Sets a folder's modification time to one long past, the same at each call.
void AgeFolder(const std::string& path) {
  const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(MetricsContentTest, TaskRecordsAreCountedAgainOnlyWhenTheirFolderChanged) {
  const std::string done = home_.Path("Tasks/Done");
  std::filesystem::create_directories(done);
  for (const char* name : {"1-a.sh", "2-b.sh", "3-c.sh"}) WriteAll(done + "/" + name, "");
  AgeFolder(done);
  const auto count = [] { return AgentExpositionInput(std::chrono::steady_clock::now()).DoneRecords; };
  EXPECT_EQ(count(), 3u);
  // A folder whose time has not moved is not listed again.
  WriteAll(done + "/4-d.sh", "");
  AgeFolder(done);
  EXPECT_EQ(count(), 3u);

  // Records added and removed change its time; so do several within one second.
  std::filesystem::remove(done + "/1-a.sh");
  EXPECT_EQ(count(), 3u);
  WriteAll(done + "/5-e.sh", "");
  EXPECT_EQ(count(), 4u);
  WriteAll(done + "/6-f.sh", "");
  EXPECT_EQ(count(), 5u);
  EXPECT_FALSE(AgentExpositionInput(std::chrono::steady_clock::now()).QueueRecords);
}

TEST_F(MetricsContentTest, TheGraphListIsWhatTheDefaultGraphScriptDraws) {
  const std::string script = DefaultGraphScriptText(1, 1, 1, 1);
  size_t graph_lines = 0;
  for (size_t at = script.find("rrdtool graph "); at != std::string::npos;
       at = script.find("rrdtool graph ", at + 1)) {
    ++graph_lines;
  }
  EXPECT_EQ(graph_lines, kRrdGraphFiles.size());
  for (const std::string_view file : kRrdGraphFiles) {
    EXPECT_NE(script.find("rrdtool graph " + std::string(file) + " "), std::string::npos) << file;
  }
}

}  // namespace
}  // namespace agent
