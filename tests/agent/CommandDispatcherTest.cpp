#include "agent/CommandDispatcher.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "agent/AgentHost.h"
#include "common/TarvoVersion.h"
#include "common/TaskFolders.h"
#include "platform/SystemInfo.h"
#include "tests/agent/AgentTestSupport.h"

namespace agent {
namespace {

using testsupport::ReadAll;

const std::regex kPingReply(
    R"(\d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)? PONG \d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)?)");
const std::string kAbout = std::string("Tarvo Agent Service - version ") + common::kVersionText +
                           "\n\rHost monitoring agent\n\r";

class ProcessCommandTest : public AgentHomeTest {
 protected:
  CommandReply Process(std::string_view request) {
    return ProcessCommand(request, CommandContext{1, "127.0.0.1"});
  }
  std::string Reply(std::string_view request) { return Process(request).Text; }
  int FailureLines() const { return CountLines(Log(), " ProcessCommand Func "); }
};

TEST_F(ProcessCommandTest, AnswersPingOnlyForALineEndedByALineFeed) {
  EXPECT_TRUE(std::regex_match(Reply("PING\n"), kPingReply)) << Reply("PING\n");
  EXPECT_TRUE(std::regex_match(Reply("ping\r\n"), kPingReply));
  EXPECT_TRUE(std::regex_match(Reply("SHIPPING\n"), kPingReply));
  EXPECT_EQ(Reply("PING"), "");
  EXPECT_EQ(Reply("ABOUT\nPING"), kAbout);
  EXPECT_EQ(Reply("HELLO\n"), "");
}

TEST_F(ProcessCommandTest, TheLastReplyOfTheRequestWins) {
  // Within a line the table order decides; across lines the later line.
  EXPECT_EQ(Reply("PING ABOUT\n"), kAbout);
  EXPECT_EQ(Reply("ABOUT PING\n"), kAbout);
  EXPECT_EQ(Reply("ABOUT COMPUTERNAME\n"), Reply("COMPUTERNAME\n"));
  EXPECT_TRUE(std::regex_match(Reply("ABOUT\nPING\n"), kPingReply));
  // A word without a reply leaves the earlier reply standing.
  EXPECT_EQ(Reply("ABOUT\nNOTHING HERE\n"), kAbout);
}

TEST_F(ProcessCommandTest, QuitClosesAfterTheReplyOfItsRequest) {
  const CommandReply quit = Process("QUIT\n");
  EXPECT_EQ(quit.Text, "");
  EXPECT_TRUE(quit.CloseConnection);
  const CommandReply ping_quit = Process("ping quit\n");
  EXPECT_TRUE(std::regex_match(ping_quit.Text, kPingReply));
  EXPECT_TRUE(ping_quit.CloseConnection);
  EXPECT_FALSE(Process("PING\n").CloseConnection);
}

TEST_F(ProcessCommandTest, AMissingArgumentEndsTheRequestWithOneLogLine) {
  EXPECT_EQ(Reply("PING\nSERVICE_STATUS\nABOUT\n"), "");
  EXPECT_EQ(FailureLines(), 1) << Log();
  const CommandReply quit_first = Process("QUIT\nSERVICE_STATUS\n");
  EXPECT_TRUE(quit_first.CloseConnection);
  EXPECT_EQ(FailureLines(), 2);
  // A name present is no failure (the handler answers).
  Reply("SERVICE_STATUS spooler\n");
  EXPECT_EQ(FailureLines(), 2);
}

TEST_F(ProcessCommandTest, GatedWordsAreSkippedUnlessRemoteExecutionIsAllowed) {
  EXPECT_EQ(Reply("ABOUT\nSERVICE_STOP\nEXEC\nSERVICE_START\n"), kAbout);
  EXPECT_EQ(FailureLines(), 0);
  common::TheAgentConfig().AllowRemoteExec = true;
  common::TheAgentConfig().RemoteClientList = {"127.0.0.1"};
  EXPECT_EQ(Reply("ABOUT\nSERVICE_STOP\n"), "");
  EXPECT_EQ(Reply("ABOUT\nEXEC\n"), "");
  EXPECT_EQ(FailureLines(), 2);
}

TEST_F(ProcessCommandTest, ARequestRunsProgramsOnlyWithAWordThatStartsOneAndRuns) {
  const CommandContext local{1, "127.0.0.1"};
  EXPECT_TRUE(RequestRunsPrograms("PING\ninfo\n", local));
  EXPECT_FALSE(RequestRunsPrograms("PING\nINFO", local));  // the last line never runs
  EXPECT_FALSE(RequestRunsPrograms("EXEC HELLO.SH\nEXETASK #a#b#c#O\n", local));
  common::TheAgentConfig().AllowRemoteExec = true;
  common::TheAgentConfig().RemoteClientList = {"127.0.0.1"};
  EXPECT_TRUE(RequestRunsPrograms("EXEC HELLO.SH\n", local));
  EXPECT_FALSE(RequestRunsPrograms("EXEC HELLO.SH\n", CommandContext{1, "10.0.0.1"}));
  EXPECT_FALSE(RequestRunsPrograms("SERVICE_LIST\nRESUMEMON\n", local));
  EXPECT_EQ(CountLines(Log(), "REMOTECLIENTS"), 0);
}

TEST_F(ProcessCommandTest, ExecRequiresTlsActsOnlyForVerifiedTlsOrThisMachine) {
  common::PrepareTaskFolders();
  testsupport::WriteAll(home_.Path("Tasks/mark.sh"), "echo ran\n");
  common::AgentConfig& config = common::TheAgentConfig();
  config.AllowRemoteExec = true;
  config.RemoteClientList = {"10.1", "127.0.0"};
  const std::string exec = "EXEC MARK.SH\n";
  const std::string task = "EXETASK #7_T1.BUF#T#MARK.SH#O#USER#PW#1#RAN\n";
  const auto reply = [](const std::string& request, const CommandContext& context) {
    return ProcessCommand(request, context).Text;
  };
  const CommandContext remote{1, "10.1.2.3"};
  const CommandContext remote_tls{1, "10.1.2.3", true};
  const CommandContext local{1, "127.0.0.1"};

  // Off: the address list alone decides, as before.
  EXPECT_EQ(reply(exec, remote), "ran\n");

  config.ExecRequiresTls = true;
  struct Case {
    const CommandContext& context;
    bool acts;
  };
  for (const Case& c : {Case{remote, false}, Case{remote_tls, true}, Case{local, true}}) {
    EXPECT_EQ(reply(exec, c.context), c.acts ? "ran\n" : "") << c.context.PeerAddress;
    EXPECT_EQ(reply(task, c.context), c.acts ? "ran\n" : "") << c.context.PeerAddress;
    EXPECT_EQ(std::filesystem::exists(home_.Path("Tasks/Queue/7_T1.BUF")), c.acts);
    std::filesystem::remove(home_.Path("Tasks/Queue/7_T1.BUF"));
  }
  // Refused like a gated word with remote execution off, plus a line that says why.
  EXPECT_EQ(reply("ABOUT\nEXEC MARK.SH\n", remote), kAbout);
  EXPECT_EQ(CountLines(Log(), "EXEC from 10.1.2.3 ignored: EXECREQUIRESTLS"), 2) << Log();
  EXPECT_EQ(FailureLines(), 0);
  // The address list still holds over TLS.
  EXPECT_EQ(reply(exec, CommandContext{1, "10.2.0.1", true}), "");
  // A request held back by the gate runs no program, so it waits for no turn.
  EXPECT_FALSE(RequestRunsPrograms(exec, remote));
  EXPECT_TRUE(RequestRunsPrograms(exec, remote_tls));
}

TEST(CutWord, CountsWordsFromTheStartOfTheLineAtSingleBlanks) {
  EXPECT_EQ(CutWord("SERVICE_STATUS SPOOLER\r", 1), "SPOOLER");
  EXPECT_EQ(CutWord("X SERVICE_STATUS SPOOLER", 1), "SERVICE_STATUS");
  EXPECT_EQ(CutWord("SERVICE_STATUS  SPOOLER", 1), "");
  EXPECT_EQ(CutWord("SERVICE_STATUS  SPOOLER", 2), "SPOOLER");
  EXPECT_EQ(CutWord("SERVICE_STATUS\r", 1), std::nullopt);
  EXPECT_EQ(CutWord("EXEC A B C D E F", 5), "E");
}

TEST_F(ProcessCommandTest, AboutAndComputerNameHaveTheirLineEnds) {
  EXPECT_EQ(Reply("about\n"), kAbout);
  TheHostState().ComputerName = "HOST-FROM-START";
  EXPECT_EQ(Reply("ComputerName\n"), "HOST-FROM-START\r\n");
  TheHostState().ComputerName.clear();
  EXPECT_EQ(Reply("COMPUTERNAME\n"), platform::ComputerName() + "\r\n");
}

TEST_F(ProcessCommandTest, PushEventsStoresTheItemsAsReceived) {
  const std::string events = home_.Path("ServerEvents.txt");
  EXPECT_EQ(Reply("PUSHEVENTS a#b#\n"), "Done");
  EXPECT_EQ(ReadAll(events), " a\r\nb\r\n");
  EXPECT_EQ(Reply("pushEvents 12|Server Down|srv#13|Login#\r\n"), "Done");
  EXPECT_EQ(ReadAll(events), " 12|Server Down|srv\r\n13|Login\r\n");
  EXPECT_EQ(Reply("PUSHEVENTS ev1#ev2\n"), "Done");
  EXPECT_EQ(ReadAll(events), " ev1\r\n");
  EXPECT_EQ(Reply("PUSHEVENTS x#y# pushevents z#\n"), "Done");
  EXPECT_EQ(ReadAll(events), " x\r\ny\r\n");
  EXPECT_EQ(Reply("PUSHEVENTS\n"), "Done");
  EXPECT_EQ(ReadAll(events), "");
}

TEST_F(ProcessCommandTest, PushEventsThatCannotWriteItsFileFails) {
  std::filesystem::create_directory(home_.Path("ServerEvents.txt"));
  EXPECT_EQ(Reply("PING\nPUSHEVENTS a#\nABOUT\n"), "");
  EXPECT_EQ(FailureLines(), 1);
}

}  // namespace
}  // namespace agent
