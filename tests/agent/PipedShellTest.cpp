#include "agent/PipedShell.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/AgentConfig.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/TempFolder.h"

namespace agent {
namespace {

using testsupport::WriteAll;

class PipedShellTest : public AgentHomeTest {
 protected:
  // A probe program that prints the given text.
  std::string Probe(const std::string& text) {
    const std::string path = home_.Path("probe.txt");
    WriteAll(path, text);
    return "cat " + path;
  }
};

TEST_F(PipedShellTest, RunPipedReturnsBothStreamsAndNothingForAMissingProgram) {
  EXPECT_EQ(RunPiped(R"(sh -c "echo one; echo two >&2")"), "one\ntwo\n");
  EXPECT_EQ(RunPiped("tarvo-no-such-program"), "");
  EXPECT_EQ(Log(), "");
}

TEST_F(PipedShellTest, RunPipedStopsAChildThatOutlivesTheTimeoutAndLogsIt) {
  common::TheAgentConfig().ProcessTimeout = 1;
  EXPECT_EQ(RunPiped(R"(sh -c "echo partial; exec sleep 60")"), "partial\n");
  EXPECT_EQ(CountLines(Log(), " RunPiped Func "), 1) << Log();
  EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int>{});
}

TEST_F(PipedShellTest, RunPipedLeavesNoZombieAfterManyRuns) {
  for (int i = 0; i < 100; ++i) RunPiped("ip address show");
  EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int>{});
}

TEST_F(PipedShellTest, CountMatchingLinesStartsAtOneAndAddsOnePerMatchingLine) {
  const std::string netstat =
      "Proto Local Foreign State\n"
      "tcp 10.0.0.1:80 10.0.0.9:5123 established\n"
      "tcp 10.0.0.1:22 10.0.0.9:5124 ESTABLISHED\n"
      "tcp 10.0.0.1:80 10.0.0.7:6000 ESTABLISHED\r\n"
      "tcp 10.0.0.1:80 10.0.0.7:6001 TIME_WAIT\n"
      "tcp 10.0.0.1:80 10.0.0.8:6002 ESTABLISHED";  // no line end: not counted
  EXPECT_EQ(CountMatchingLines(Probe(netstat), "80", "ESTABLISHED"), 3);
  EXPECT_EQ(CountMatchingLines(Probe(netstat), "443", "ESTABLISHED"), 1);
  EXPECT_EQ(CountMatchingLines("tarvo-no-such-program", "", ""), 1);
  // An empty filter matches every non-empty complete line.
  EXPECT_EQ(CountMatchingLines(Probe("a\n\nb\nc"), "", ""), 3);
}

}  // namespace
}  // namespace agent
