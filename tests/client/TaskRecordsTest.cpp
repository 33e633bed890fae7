#include "client/TaskRecords.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/TaskFile.h"
#include "tests/client/ToolTestSupport.h"
#include "tests/support/TempFolder.h"

namespace client {
namespace {

using clienttest::Record;
using testsupport::WriteAll;

const TaskRow& RowNamed(const std::vector<TaskRow>& rows, const std::string& name) {
  static const TaskRow none;
  for (const TaskRow& row : rows) {
    if (row.FileName == name) return row;
  }
  return none;
}

TEST(ReadTaskFields, TakesTagsByTheViewersItemRule) {
  const std::string record =
      "#FUNCTAG:TASK_NAME:FIRST\r\n"
      "#FUNCTAG:TASK_CMD:COPY A,B\r\n"                       // cut at the comma
      "  #FUNCTAG:TASK_NAME:SECOND#FUNCTAG:TASK_NAME:X  \r\n"  // later wins, up to a repeat
      "#FUNCTAG:STATUS:OK\r\n"
      "#FUNCTAG:OUTPUT\r\n"
      "line 1\r\n"
      "\"a, b\"\r\n";
  const TaskFields fields = ReadTaskFields(record, kDetailItems, kDetailTagItems);
  EXPECT_EQ(fields.TaskName, "SECOND");
  EXPECT_EQ(fields.TaskCmd, "COPY A");
  EXPECT_EQ(fields.Status, "OK");
  EXPECT_EQ(fields.Output, "\r\nline 1\r\na, b");
  EXPECT_EQ(fields.ExecMode, "");

  // Tags beyond the limits are not seen: the list reads 14 items, the detail
  // looks for tags in 19, so an OUTPUT tag as the 20th item leaves no output.
  std::string padded;
  for (int k = 0; k < 18; ++k) padded += "x\r\n";
  padded += "#FUNCTAG:STATUS:LATE\r\n#FUNCTAG:OUTPUT\r\nout\r\n";
  EXPECT_EQ(ReadTaskFields(padded, kDetailItems, kDetailTagItems).Status, "LATE");
  EXPECT_EQ(ReadTaskFields(padded, kDetailItems, kDetailTagItems).Output, "");
  EXPECT_EQ(ReadTaskFields(padded, kListItems, kListItems).Status, "");
}

TEST(TaskDisplayTexts, ShowModesAndOutputRulesByTheirNames) {
  EXPECT_EQ(ExecModeListText("B"), "Batch");
  EXPECT_EQ(ExecModeListText("O"), "OnLine");
  EXPECT_EQ(ExecModeListText("X"), "");
  EXPECT_EQ(ExecModeDetailText("X"), "X");
  EXPECT_EQ(ResponseContentText("0"), "Ignorar saida do script");
  EXPECT_EQ(ResponseContentText("1"), "Saida do script deve conter string");
  EXPECT_EQ(ResponseContentText("2"), "Saida do script nao deve conter string");
  EXPECT_EQ(ResponseContentText("7"), "7");
  EXPECT_EQ(QueuedRecordProcessId("123_T1.BUF"), 123);
  EXPECT_EQ(QueuedRecordProcessId("T1.BUF"), 0);
  EXPECT_EQ(QueuedRecordProcessId("_T1.BUF"), 0);
}

TEST(LoadTaskRows, ListsBothFoldersAndJudgesQueuedRecordsByTheirProcess) {
  clienttest::ProgramFolder home;
  clienttest::SleepingChild child;
  const std::string running = std::to_string(child.pid()) + "_RUN.BUF";
  WriteAll(home.Path("Tasks/Done/A.BUF"), Record("DONE TASK", "HELLO.SH", "O", "OK", "1", "hi"));
  std::filesystem::create_directories(home.Path("Tasks/Done/SUB"));
  WriteAll(home.Path("Tasks/Queue/" + running), Record("RUN", "SLEEP.SH 5", "B", "", "", ""));
  WriteAll(home.Path("Tasks/Queue/999999999_GONE.buf"), Record("GONE", "X", "O", "", "", ""));
  WriteAll(home.Path("Tasks/Queue/2_ENDED.BUF"), Record("E", "X", "O", "OK", "0", ""));
  WriteAll(home.Path("Tasks/Queue/NOTES.TXT"), "not a record");

  std::vector<TaskRow> rows = LoadTaskRows(home.Root());
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].FileName, "A.BUF");  // Done first, by name
  EXPECT_EQ(rows[0].Status, "OK");
  EXPECT_EQ(rows[0].TaskName, "DONE TASK");
  EXPECT_EQ(rows[0].ExecMode, "OnLine");
  EXPECT_EQ(rows[0].EndAt, "20260101120005");
  EXPECT_EQ(rows[1].FileName, "SUB");  // not a file: listed with empty fields
  EXPECT_EQ(rows[1].TaskName, "");
  EXPECT_EQ(RowNamed(rows, "999999999_GONE.buf").Status, "FAIL");
  EXPECT_EQ(RowNamed(rows, "2_ENDED.BUF").Status, "OK");  // the record's own status wins
  EXPECT_EQ(RowNamed(rows, running).Status, "RUNNING");
  EXPECT_EQ(RowNamed(rows, running).ExecMode, "Batch");

  child.Stop();
  rows = LoadTaskRows(home.Root());
  EXPECT_EQ(RowNamed(rows, running).Status, "FAIL");
  EXPECT_EQ(RowNamed(rows, running).Folder, home.Path("Tasks/Queue"));

  // A record swept to Done after it was listed is still found.
  std::filesystem::rename(home.Path("Tasks/Queue/" + running), home.Path("Tasks/Done/" + running));
  EXPECT_EQ(TaskRecordPath(home.Root(), home.Path("Tasks/Queue"), running),
            home.Path("Tasks/Done/" + running));
}

// A record is read only as far as the items wanted need, however large it is,
// and never past the bound the reader gives.
TEST(ReadTaskRecord, ReadsOnlyAsFarAsTheItemsNeed) {
  testsupport::TempFolder folder;
  std::string output;
  for (int k = 0; k < 20000; ++k) output += "output line " + std::to_string(k) + "\r\n";
  const std::string record = Record("BIG", "LIST.SH", "O", "OK", "0", output);
  WriteAll(folder.Path("big"), record);
  const std::optional<std::string> head =
      ReadTaskRecord(folder.Path("big"), kListItems, kListRecordBytes);
  ASSERT_TRUE(head.has_value());
  EXPECT_LT(head->size(), 64u * 1024);
  EXPECT_EQ(ReadTaskFields(*head, kListItems, kListItems).Status, "OK");
  // The detail's 2000 items give what the whole record's first 2000 give.
  const std::optional<std::string> detail =
      ReadTaskRecord(folder.Path("big"), kDetailItems, common::kMaxTaskRecordBytes);
  ASSERT_TRUE(detail.has_value());
  EXPECT_LT(detail->size(), record.size());
  EXPECT_EQ(ReadTaskFields(*detail, kDetailItems, kDetailTagItems).Output,
            ReadTaskFields(record, kDetailItems, kDetailTagItems).Output);

  // An item that runs on is read whole within the bound: a tag at its end
  // still counts.
  const std::string long_line(512 << 10, 'y');
  WriteAll(folder.Path("long"),
           "#FUNCTAG:OBJ:SCRIPTTASK\r\n" + long_line + "#FUNCTAG:STATUS:LATE\r\n");
  EXPECT_EQ(ReadTaskFields(*ReadTaskRecord(folder.Path("long"), kListItems, kListRecordBytes),
                           kListItems, kListItems)
                .Status,
            "LATE");

  // A file far larger than any record (a hole here) is read to the bound only.
  const std::string huge = folder.Path("huge");
  WriteAll(huge, "#FUNCTAG:OBJ:SCRIPTTASK\r\n#FUNCTAG:OUTPUT\r\n");
  std::filesystem::resize_file(huge, size_t{400} << 20);
  EXPECT_EQ(ReadTaskRecord(huge, kListItems, kListRecordBytes)->size(), kListRecordBytes);
  EXPECT_EQ(ReadTaskRecord(huge, kDetailItems, common::kMaxTaskRecordBytes)->size(),
            common::kMaxTaskRecordBytes);
}

// A FIFO with no writer, a link to a device that never ends and a link out of
// the folders: each is listed with empty fields, and none holds the list up.
TEST(LoadTaskRows, ShowsFifosAndLinksAsUnreadable) {
  clienttest::ProgramFolder home;
  testsupport::TempFolder outside;
  WriteAll(outside.Path("secret"), Record("SECRET", "X", "O", "OK", "0", "private"));
  ASSERT_EQ(mkfifo(home.Path("Tasks/Done/F.TXT").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(home.Path("Tasks/Queue/999999999_F.buf").c_str(), 0644), 0);
  std::filesystem::create_symlink("/dev/zero", home.Path("Tasks/Done/ZERO.BUF"));
  std::filesystem::create_symlink(outside.Path("secret"), home.Path("Tasks/Done/LINK.BUF"));
  WriteAll(home.Path("Tasks/Done/OK.BUF"), Record("PLAIN", "X", "O", "OK", "0", ""));

  const std::vector<TaskRow> rows = LoadTaskRows(home.Root());
  ASSERT_EQ(rows.size(), 5u);
  for (const char* name : {"F.TXT", "ZERO.BUF", "LINK.BUF", "999999999_F.buf"}) {
    EXPECT_EQ(RowNamed(rows, name).FileName, name);
    EXPECT_EQ(RowNamed(rows, name).TaskName, "") << name;
  }
  EXPECT_EQ(RowNamed(rows, "999999999_F.buf").Status, "FAIL");
  EXPECT_EQ(RowNamed(rows, "OK.BUF").TaskName, "PLAIN");
}

}  // namespace
}  // namespace client
