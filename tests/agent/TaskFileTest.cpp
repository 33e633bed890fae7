#include "agent/TaskFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TempFolder.h"

namespace agent {
namespace {

using testsupport::ReadAll;
using testsupport::TempFolder;
using testsupport::WriteAll;

TEST(TaskStatus, ModeOLooksForTheStringIgnoringCaseAndModeBIsAlwaysOk) {
  struct Case {
    bool online;
    const char* output;
    const char* response_string;
    std::string_view status;
  };
  const Case cases[] = {
      {true, "Esta Funcionando !!\n", "FUNCIONANDO", kStatusOk},
      {true, "Esta Funcionando !!\n", "PARADO", kStatusFail},
      {true, "anything", "", kStatusOk},  // an empty string is in any non-empty output
      {true, "", "", kStatusFail},
      {true, "", "X", kStatusFail},
      {false, "", "X", kStatusOk},
      {false, "no match here", "X", kStatusOk},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TaskStatus(c.online, c.output, c.response_string), c.status)
        << c.online << " [" << c.output << "] [" << c.response_string << "]";
  }
}

TEST(IsPlainFileName, RefusesEverythingThatIsNotAFileNameOfItsOwn) {
  for (const char* name : {"HELLO.SH", "123_T1.BUF", "a b", "..x", "x..", "...", "-h"}) {
    EXPECT_TRUE(IsPlainFileName(name)) << name;
  }
  for (std::string_view name :
       {std::string_view(""), std::string_view("."), std::string_view(".."),
        std::string_view("../x"), std::string_view("x/"), std::string_view("/bin/sh"),
        std::string_view("..\\x"), std::string_view("a\\b"), std::string_view("a\0b", 3)}) {
    EXPECT_FALSE(IsPlainFileName(name)) << name;
  }
}

class TaskFolderTest : public ::testing::Test {
 protected:
  TempFolder folder_;
};

TEST_F(TaskFolderTest, ListFolderFilesKeepsFilesAndLinksToFilesInNameOrder) {
  WriteAll(folder_.Path("b.sh"), "");
  WriteAll(folder_.Path("A.BAT"), "");
  WriteAll(folder_.Path("c"), "");
  std::filesystem::create_directory(folder_.Path("Queue"));
  std::filesystem::create_symlink(folder_.Path("c"), folder_.Path("link"));
  std::filesystem::create_symlink(folder_.Path("Queue"), folder_.Path("folder_link"));
  std::filesystem::create_symlink(folder_.Path("missing"), folder_.Path("dangling"));
  std::vector<std::string> names;
  EXPECT_EQ(ListFolderFiles(folder_.path(), names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"A.BAT", "b.sh", "c", "link"}));
  EXPECT_NE(ListFolderFiles(folder_.Path("nowhere"), names), 0);
  EXPECT_TRUE(names.empty());
}

TEST_F(TaskFolderTest, FindFileIgnoringCasePrefersTheExactNameAndSkipsFolders) {
  WriteAll(folder_.Path("hello.sh"), "");
  WriteAll(folder_.Path("Twice.txt"), "");
  WriteAll(folder_.Path("TWICE.TXT"), "");
  std::filesystem::create_directory(folder_.Path("Done"));
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "HELLO.SH"), "hello.sh");
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "hello.sh"), "hello.sh");
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "Twice.txt"), "Twice.txt");
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "twice.TXT"), "TWICE.TXT");  // name order
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "DONE"), std::nullopt);
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "nothing"), std::nullopt);
  EXPECT_EQ(FindFileIgnoringCase(folder_.path(), "../" + folder_.path()), std::nullopt);
}

TEST_F(TaskFolderTest, TaskFileWriterReplacesARecordButNeverWritesThroughALink) {
  const std::string record = folder_.Path("1_T.BUF");
  WriteAll(record, "an older and much longer record");
  {
    TaskFileWriter writer;
    ASSERT_EQ(writer.Open(record, "head\r\n"), 0);
    EXPECT_EQ(writer.Append("tail\r\n"), 0);
  }  // closed here
  EXPECT_EQ(ReadAll(record), "head\r\ntail\r\n");

  const std::string target = folder_.Path("elsewhere");
  WriteAll(target, "kept");
  std::filesystem::create_symlink(target, folder_.Path("2_T.BUF"));
  TaskFileWriter writer;
  EXPECT_NE(writer.Open(folder_.Path("2_T.BUF"), "head\r\n"), 0);
  EXPECT_NE(writer.Append("tail"), 0);
  EXPECT_EQ(ReadAll(target), "kept");
}

}  // namespace
}  // namespace agent

namespace agent {
namespace {

TEST(HideTaskPasswordsTest, HidesOnlyThePasswordFieldOfTaskLines) {
  EXPECT_EQ(HideTaskPasswords("EXETASK #1_A.BUF#T#HELLO.SH RUN#O#USER#SECRET#1#OK\r\nPING\n"),
            "EXETASK #1_A.BUF#T#HELLO.SH RUN#O#USER#***#1#OK\r\nPING\n");
  EXPECT_EQ(HideTaskPasswords("exetask #a#b#c#O#u#pw\n"), "exetask #a#b#c#O#u#***\n");
  EXPECT_EQ(HideTaskPasswords("EXETASK #a#b#c#O#u##1#x\n"), "EXETASK #a#b#c#O#u##1#x\n");
  EXPECT_EQ(HideTaskPasswords("EXETASK #a#b#c\nPING"), "EXETASK #a#b#c\nPING");
  EXPECT_EQ(HideTaskPasswords("PING #1#2#3#4#5#6#7\n"), "PING #1#2#3#4#5#6#7\n");
  // Texts cut from the request: upper-cased, without line ends, word by word.
  const std::string request = "exetask #a#exec#c#O#u#top se\rcret#1#x\n";
  EXPECT_EQ(HideTaskPasswords("\"/t/#A#EXEC#C#O#U#TOP\" SECRET#1#X", request),
            "\"/t/#A#EXEC#C#O#U#***\" ***#1#X");
  EXPECT_EQ(HideTaskPasswords("RUN_AS TOP SECRET", request), "RUN_AS ***");
}

TEST(HideTaskPasswordsTest, APieceMaskHidesWhatTheWholeRequestHidesWhereverItIsCut) {
  const std::string request =
      "PING\nexeTASK #r#u#c x#O#user#pwA#z\r\nEXEEXETASK #1#2#3#4#5#s3cr\nEXETASK #a#b\n#c#d#e#f\n";
  const auto joined_runs = [](std::string text) {
    // Where a cut falls inside a password, each side shows its own "***".
    for (size_t at; (at = text.find("******")) != std::string::npos;) text.erase(at, 3);
    return text;
  };
  for (size_t first = 0; first <= request.size(); ++first) {
    for (size_t second = first; second <= request.size(); second += 7) {
      PasswordPieceMask mask;
      std::string shown = mask.Hide(request.substr(0, first));
      shown += mask.Hide(request.substr(first, second - first));
      shown += mask.Hide(request.substr(second));
      ASSERT_EQ(joined_runs(shown), HideTaskPasswords(request)) << first << " " << second;
    }
  }
}

}  // namespace
}  // namespace agent
