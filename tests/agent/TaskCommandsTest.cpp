#include "agent/TaskCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/TaskFile.h"
#include "common/AgentConfig.h"
#include "common/TaskFolders.h"
#include "common/TextUtil.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/TaskRecordLayout.h"

namespace agent {
namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

constexpr const char* kHelpLine = "O parametro 'RUN' executa este batch";
constexpr const char* kRunLine = "Esta Funcionando !!";

class TaskCommandsTest : public AgentHomeTest {
 protected:
  TaskCommandsTest() {
    common::PrepareTaskFolders();
    // A program outside the Tasks folder that leaves a mark when it runs: no
    // request may reach it.
    WriteAll(home_.Path("EVIL.SH"), "touch " + Marker() + "\necho evil\n");
    chmod(home_.Path("EVIL.SH").c_str(), 0755);
  }

  std::string Marker() const { return home_.Path("evil-ran"); }
  bool EvilRan() const { return std::filesystem::exists(Marker()); }
  std::string Queued(const std::string& name) const { return home_.Path("Tasks/Queue/" + name); }
  std::string Swept(const std::string& name) const { return home_.Path("Tasks/Done/" + name); }

  // Runs a handler on one line as the dispatcher hands it over.
  template <typename Handler>
  HandlerResult Run(Handler handler, const std::string& received) {
    const std::string upper = common::ToUpper(received);
    const RequestLine line{received, upper, context_};
    return handler(line);
  }
  HandlerResult Exec(const std::string& received, ExecArguments arguments) {
    return Run([&](const RequestLine& line) { return ExecReply(line, arguments); }, received);
  }
  HandlerResult ExeTask(const std::string& received) { return Run(ExeTaskReply, received); }
  HandlerResult TaskQuery(const std::string& received) { return Run(TaskQueryReply, received); }

  // The queue and done folders' file names.
  std::vector<std::string> Records() const {
    std::vector<std::string> all;
    for (const char* folder : {"Tasks/Queue", "Tasks/Done"}) {
      std::vector<std::string> names;
      ListFolderFiles(home_.Path(folder), names);
      all.insert(all.end(), names.begin(), names.end());
    }
    return all;
  }

  CommandContext context_{1, "127.0.0.1"};
};

void ExpectReply(const HandlerResult& result, const std::string& text) {
  EXPECT_EQ(result.kind(), HandlerResult::Kind::kReply) << result.text();
  EXPECT_EQ(result.text(), text);
}

void ExpectFailure(const HandlerResult& result) {
  EXPECT_EQ(result.kind(), HandlerResult::Kind::kFailure) << result.text();
}

TEST_F(TaskCommandsTest, TasksListsTheFilesOfTheFolderInNameOrder) {
  WriteAll(home_.Path("Tasks/Backup.sh"), "");
  ExpectReply(TasksReply(), "Backup.sh\r\nhello.sh\r\n");

  std::filesystem::remove_all(home_.Path("Tasks"));
  ExpectReply(TasksReply(), "");
  EXPECT_EQ(CountLines(Log(), " List CMD"), 1) << Log();
}

TEST_F(TaskCommandsTest, ExecRunsTheSampleTaskFoundIgnoringLetterCase) {
  const HandlerResult help = Exec("EXEC HELLO.SH", {{"HELLO.SH", "", "", "", ""}});
  EXPECT_NE(help.text().find(kHelpLine), std::string::npos) << help.text();
  EXPECT_EQ(help.text().find(kRunLine), std::string::npos);
  EXPECT_TRUE(help.text().ends_with("FIM\n"));
  // The command line keeps its four blanks after the quoted path.
  EXPECT_NE(Log().find("\"" + home_.Path("Tasks/hello.sh") + "\"    \r\n"), std::string::npos)
      << Log();
  EXPECT_NE(Log().find("Begin ExecEXEC HELLO.SH\r\n"), std::string::npos) << Log();

  const HandlerResult run = Exec("EXEC HELLO.SH RUN", {{"HELLO.SH", "RUN", "", "", ""}});
  EXPECT_NE(run.text().find(kRunLine), std::string::npos) << run.text();
  EXPECT_NE(run.text().find("hello.sh"), std::string::npos) << "the folder is listed";
  EXPECT_EQ(run.text().find(kHelpLine), std::string::npos);
}

TEST_F(TaskCommandsTest, ExecRunsAScriptWithoutExecuteBitThroughTheShell) {
  WriteAll(home_.Path("Tasks/Echo.Sh"), "echo \"args: $1 $2\"\n");
  chmod(home_.Path("Tasks/Echo.Sh").c_str(), 0644);
  ExpectReply(Exec("EXEC ECHO.SH A B", {{"ECHO.SH", "A", "B", "", ""}}), "args: A B\n");
  ExpectReply(Exec("EXEC NOTHERE.SH", {{"NOTHERE.SH"}}), "");
}

TEST_F(TaskCommandsTest, ExecRefusesAProgramNameThatLeavesTheTasksFolder) {
  for (const char* program : {"../EVIL.SH", "..\\EVIL.SH", "..", ".", "", "/bin/sh"}) {
    ExpectFailure(Exec(std::string("EXEC ") + program, {{program}}));
  }
  EXPECT_FALSE(EvilRan());
}

TEST_F(TaskCommandsTest, ExeTaskRunsTheProgramAndLeavesACompleteRecord) {
  const HandlerResult result =
      ExeTask("exetask #123_T1.BUF#My Task#hello.sh run#o#user#secret#1#funcionando\r");
  EXPECT_EQ(result.kind(), HandlerResult::Kind::kReply);
  EXPECT_NE(result.text().find(kRunLine), std::string::npos) << result.text();

  const std::string record = ReadAll(Queued("123_T1.BUF"));
  const std::optional<std::string> output_part = testsupport::ExampleTaskRecordOutput(record);
  ASSERT_TRUE(output_part.has_value()) << record;
  EXPECT_EQ(*output_part, result.text() + "\r\n");
  EXPECT_EQ(common::ToUpper(record).find("SECRET"), std::string::npos);

  // The record is closed: no descriptor of this process still refers to it.
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), ignored).string(), Queued("123_T1.BUF"));
  }
}

TEST_F(TaskCommandsTest, ExeTaskDecidesStatusAndEndTimeByTheMode) {
  struct Case {
    const char* fields;  // mode # user # password # content # string
    const char* status;
    bool end_at;
  };
  const Case cases[] = {
      {"O#U#P#1#funcionando", "OK", true},  // found in another letter case
      {"O#U#P#1#NOT IN THE OUTPUT", "FAIL", true},
      {"O#U#P#2#FUNCIONANDO", "OK", true},  // the content value is not consulted
      {"B#U#P#1#NOT IN THE OUTPUT", "OK", false},
      {" O#U#P#1#NOT IN THE OUTPUT", "OK", false},  // an O with a blank is mode B
      {"O", "OK", true},                            // fields 5 to 8 left out read as empty
      {"O#U", "OK", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = std::to_string(++n) + "_T.BUF";
    const HandlerResult result =
        ExeTask("EXETASK #" + name + "#T#HELLO.SH RUN#" + std::string(c.fields));
    EXPECT_NE(result.text().find(kRunLine), std::string::npos) << c.fields;
    const std::vector<std::string> fields = ReadTaskFileFields(ReadAll(Queued(name)));
    EXPECT_EQ(TaskFileValue(fields, kTagStatus), c.status) << c.fields;
    EXPECT_EQ(TaskFileValue(fields, kTagEndAt).value_or("?").size(), c.end_at ? 14u : 0u)
        << c.fields;
    EXPECT_EQ(TaskFileValue(fields, kTagExecMode), c.end_at ? "O" : "B") << c.fields;
  }
}

TEST_F(TaskCommandsTest, ExeTaskWithTooFewFieldsWritesNothingAndRunsNothing) {
  const HandlerResult none = ExeTask("EXETASK #1_T.BUF");
  EXPECT_EQ(none.kind(), HandlerResult::Kind::kNoReply);
  ExpectFailure(ExeTask("EXETASK #1_T.BUF#T"));  // 3 and 4 fields: no mode
  ExpectFailure(ExeTask("EXETASK #1_T.BUF#T#HELLO.SH"));
  ExpectFailure(ExeTask("EXETASK #1_T.BUF#T# HELLO.SH#O"));  // empty program word
  EXPECT_EQ(Records(), std::vector<std::string>{});
}

TEST_F(TaskCommandsTest, ExeTaskRefusesNamesThatLeaveTheirFolders) {
  const char* requests[] = {
      "EXETASK #../X#T#HELLO.SH RUN#O#U#P#1#S",  "EXETASK #..\\X#T#HELLO.SH RUN#O#U#P#1#S",
      "EXETASK #..#T#HELLO.SH RUN#O#U#P#1#S",    "EXETASK ##T#HELLO.SH RUN#O#U#P#1#S",
      "EXETASK #X#T#../EVIL.SH RUN#O#U#P#1#S",   "EXETASK #X#T#..\\EVIL.SH RUN#O#U#P#1#S",
      "EXETASK #X#T#/BIN/SH -C TOUCH#O#U#P#1#S",
  };
  for (const char* request : requests) ExpectFailure(ExeTask(request));
  EXPECT_EQ(Records(), std::vector<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(home_.Path("Tasks/X")));
  EXPECT_FALSE(std::filesystem::exists(home_.Path("X")));
  EXPECT_FALSE(EvilRan());
}

TEST_F(TaskCommandsTest, ExeTaskReplacesARecordOfTheSameNameInAnyLetterCase) {
  WriteAll(Queued("7_t.buf"), "an older record that is much longer than the new one will be");
  ExeTask("EXETASK #7_T.BUF#T#HELLO.SH#B");
  ExeTask("EXETASK #7_T.BUF#T#HELLO.SH#B");  // the record was closed: it opens again
  EXPECT_EQ(Records(), std::vector<std::string>{"7_t.buf"});
  EXPECT_EQ(TaskFileValue(ReadTaskFileFields(ReadAll(Queued("7_t.buf"))), kTagStatus), "OK");
}

TEST_F(TaskCommandsTest, ExeTaskCompletesTheRecordOfATaskKilledAtTheTimeout) {
  common::TheAgentConfig().ProcessTimeout = 1;
  WriteAll(home_.Path("Tasks/hang.sh"), "echo partial\nexec sleep 60\n");
  const HandlerResult result = ExeTask("EXETASK #9_T.BUF#T#HANG.SH#O#U#P#1#PARTIAL");
  ExpectReply(result, "partial\n");
  const std::string record = ReadAll(Queued("9_T.BUF"));
  EXPECT_TRUE(record.ends_with("#FUNCTAG:STATUS:OK\r\n#FUNCTAG:OUTPUT\r\npartial\n\r\n")) << record;
  EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int>{});
}

TEST_F(TaskCommandsTest, TaskQueryReturnsTheRecordTheStatusPartOrTheQuery) {
  ASSERT_EQ(ExeTask("EXETASK #123_T1.BUF#T#HELLO.SH RUN#O#U#P#1#FUNCIONANDO").kind(),
            HandlerResult::Kind::kReply);
  const std::string whole = ReadTaskFileText(ReadAll(Queued("123_T1.BUF")));
  ExpectReply(TaskQuery("TASKQUERY 123_t1.buf DUMP\r"), whole);
  const std::string status = whole.substr(whole.find("#FUNCTAG:STATUS:") + 16);
  EXPECT_TRUE(status.starts_with("OK\r\n#FUNCTAG:OUTPUT\r\n")) << status;
  ExpectReply(TaskQuery("TASKQUERY 123_t1.buf X"), status);
  ExpectReply(TaskQuery("TASKQUERY 123_T1.BUF dump"), status);  // only DUMP dumps
  ExpectReply(TaskQuery("TASKQUERY 999_T.BUF DUMP\r"), "999_T.BUF DUMP");

  // A record in Done wins over one of the same name in the queue.
  WriteAll(Swept("123_T1.BUF"), "#FUNCTAG:STATUS:FAIL\r\n#FUNCTAG:OUTPUT\r\nx, \"y\"\r\n");
  ExpectReply(TaskQuery("TASKQUERY 123_T1.BUF DUMP"),
              "#FUNCTAG:STATUS:FAIL\r\n#FUNCTAG:OUTPUT\r\nx\r\ny\r\n");
}

TEST_F(TaskCommandsTest, TaskQueryFailsOnBrokenRequestsAndNeverReadsOutsideItsFolders) {
  WriteAll(Queued("NOSTATUS.BUF"), "#FUNCTAG:OBJ:SCRIPTTASK\r\n");
  ExpectFailure(TaskQuery("TASKQUERY NOSTATUS.BUF X"));
  ExpectFailure(TaskQuery("TASKQUERY NAMEONLY"));
  ExpectFailure(TaskQuery("taskquery 1_T.BUF DUMP"));  // the word must be upper case as received
  for (const char* name : {"../../TarvoAgent.cfg", "..\\..\\TarvoAgent.cfg", "..", "../EVIL.SH"}) {
    const HandlerResult result = TaskQuery(std::string("TASKQUERY ") + name + " DUMP");
    ExpectFailure(result);
    EXPECT_EQ(result.text().find("touch"), std::string::npos);
  }
  ExpectFailure(TaskQuery("TASKQUERY  X DUMP"));  // two blanks: an empty name
}

}  // namespace
}  // namespace agent
