#include "common/WriteLog.h"

#include <gtest/gtest.h>

#include "common/AgentConfig.h"
#include "tests/support/TempFolder.h"

namespace common {
namespace {

using testsupport::ReadAll;

class WriteLogTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_level_ = TheAgentConfig().LogLevel; }
  void TearDown() override { TheAgentConfig().LogLevel = saved_level_; }
  std::string Log() const { return ReadAll(home_.Path("TarvoAgent.log")); }

  testsupport::TempFolder home_;
  testsupport::ScopedEnv env_{"TARVO_HOME", home_.path()};
  int32_t saved_level_ = 0;
};

TEST_F(WriteLogTest, WritesOnlyEntriesWithinTheThreshold) {
  TheAgentConfig().LogLevel = 0;
  WriteLog("zero", 0);
  WriteLog("one", 1);
  EXPECT_EQ(Log(), "zero\r\n");

  TheAgentConfig().LogLevel = 5;
  WriteLog("five", 5);
  WriteLog("six", 6);
  EXPECT_EQ(Log(), "zero\r\nfive\r\n");
}

TEST_F(WriteLogTest, WritesNothingWithANegativeThreshold) {
  TheAgentConfig().LogLevel = -1;
  WriteLog("zero", 0);
  EXPECT_EQ(Log(), "");
}

TEST_F(WriteLogTest, AddsNothingButTheLineEnd) {
  TheAgentConfig().LogLevel = 2;
  WriteLog("a\r\nb", 2);
  WriteLog("", 2);
  EXPECT_EQ(Log(), "a\r\nb\r\n\r\n");
}

TEST_F(WriteLogTest, FailureLineJoinsDescriptionLabelAndDate) {
  TheAgentConfig().LogLevel = 1;
  LogFailure("Boom", " Routine Func ");
  const std::string log = Log();
  EXPECT_EQ(log.rfind("Boom Routine Func ", 0), 0u);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  EXPECT_GT(log.size(), std::string("Boom Routine Func \r\n").size());
}

TEST_F(WriteLogTest, IgnoresAnUnwritableFolder) {
  testsupport::ScopedEnv missing("TARVO_HOME", home_.Path("no/such/folder"));
  TheAgentConfig().LogLevel = 5;
  WriteLog("lost", 0);  // must not throw or crash
  SUCCEED();
}

}  // namespace
}  // namespace common
