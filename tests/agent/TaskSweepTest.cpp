#include "agent/TaskSweep.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/TaskFile.h"
#include "common/TaskFolders.h"
#include "tests/agent/AgentTestSupport.h"

namespace agent {
namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

class CleanTaskFilesTest : public AgentHomeTest {
 protected:
  CleanTaskFilesTest() { common::PrepareTaskFolders(); }

  std::vector<std::string> Names(const char* folder) const {
    std::vector<std::string> names;
    ListFolderFiles(home_.Path(folder), names);
    return names;
  }
  void Queue(const std::string& name) { WriteAll(home_.Path("Tasks/Queue/" + name), name); }
  int SweepFailures() const { return CountLines(Log(), " CleanTaskFiles"); }
};

TEST_F(CleanTaskFilesTest, MovesEveryQueuedRecordToDoneUnderItsName) {
  Queue("1_A.BUF");
  Queue("2_b.buf");
  std::filesystem::create_directory(home_.Path("Tasks/Queue/sub"));
  CleanTaskFiles();
  EXPECT_EQ(Names("Tasks/Queue"), std::vector<std::string>{});
  EXPECT_EQ(Names("Tasks/Done"), (std::vector<std::string>{"1_A.BUF", "2_b.buf"}));
  EXPECT_EQ(ReadAll(home_.Path("Tasks/Done/2_b.buf")), "2_b.buf");
  EXPECT_TRUE(std::filesystem::is_directory(home_.Path("Tasks/Queue/sub")));
  EXPECT_EQ(SweepFailures(), 0);
}

TEST_F(CleanTaskFilesTest, ARecordNameAlreadyInDoneHoldsTheSweepAtThatRecord) {
  WriteAll(home_.Path("Tasks/Done/2_b.BUF"), "the record swept before");
  Queue("1_A.BUF");
  Queue("2_B.BUF");  // the same name in another letter case
  Queue("3_C.BUF");
  CleanTaskFiles();
  EXPECT_EQ(Names("Tasks/Queue"), (std::vector<std::string>{"2_B.BUF", "3_C.BUF"}));
  EXPECT_EQ(ReadAll(home_.Path("Tasks/Done/2_b.BUF")), "the record swept before");
  EXPECT_EQ(SweepFailures(), 1);
  EXPECT_NE(Log().find("File already exists CleanTaskFiles\r\n"), std::string::npos) << Log();

  CleanTaskFiles();  // every sweep stops there until the name is cleared
  EXPECT_EQ(SweepFailures(), 2);
  std::filesystem::remove(home_.Path("Tasks/Done/2_b.BUF"));
  CleanTaskFiles();
  EXPECT_EQ(Names("Tasks/Queue"), std::vector<std::string>{});
  EXPECT_EQ(Names("Tasks/Done"), (std::vector<std::string>{"1_A.BUF", "2_B.BUF", "3_C.BUF"}));
}

TEST_F(CleanTaskFilesTest, MissingFoldersLoseNoRecord) {
  std::filesystem::remove_all(home_.Path("Tasks/Done"));
  Queue("1_A.BUF");
  CleanTaskFiles();
  EXPECT_EQ(Names("Tasks/Queue"), std::vector<std::string>{"1_A.BUF"});
  EXPECT_EQ(SweepFailures(), 1);

  std::filesystem::remove_all(home_.Path("Tasks"));
  CleanTaskFiles();  // nothing to sweep, nothing to say
  EXPECT_EQ(SweepFailures(), 1);
}

}  // namespace
}  // namespace agent
