// The task commands against the running agent service: the agent prepares its
// Tasks folders on a first start from a shell, is then started as a service,
// and runs the sample task through EXEC and EXETASK; the records it leaves are
// read back from disk and through TASKQUERY.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <set>

#include "tests/e2e/AgentInstall.h"
#include "tests/support/AgentClient.h"
#include "tests/support/TaskRecordLayout.h"

namespace e2e {
namespace {

using testsupport::AgentRequest;
using testsupport::ReadAll;
using testsupport::WaitUntil;
using testsupport::WriteAll;

constexpr const char* kHelpLine = "O parametro 'RUN' executa este batch";
constexpr const char* kRunLine = "Esta Funcionando !!";
constexpr const char* kTask =
    "EXETASK #123_T1.BUF#MY TASK#HELLO.SH RUN#O#USER#SECRET#1#FUNCIONANDO\n";
// An address of this machine that the default REMOTECLIENTS does not list.
constexpr const char* kUnlistedAddress = "127.0.1.1";

// Sends the request from a socket bound to the source address, then QUIT, and
// returns what lies between the reply's zero byte and the close; nothing when
// the agent cannot be reached or does not answer in time.
std::optional<std::string> RequestFrom(const char* source, int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(port));
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string received;
  const auto read_until = [&](size_t least) {
    char buffer[4096];
    while (least == 0 || received.size() < least) {
      pollfd waiting{fd, POLLIN, 0};
      if (poll(&waiting, 1, 30000) <= 0) return false;
      const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n < 0) return false;
      if (n == 0) return least == 0;
      received.append(buffer, static_cast<size_t>(n));
    }
    return true;
  };
  const std::string quit = "QUIT\n";
  const bool complete = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 &&
                        connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) == 0 &&
                        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                            static_cast<ssize_t>(request.size()) &&
                        read_until(1) && send(fd, quit.data(), quit.size(), MSG_NOSIGNAL) > 0 &&
                        read_until(0);
  close(fd);
  if (!complete || received.size() < 2 || received.front() != '\0' || received.back() != '\0') {
    return std::nullopt;
  }
  return received.substr(1, received.size() - 2);
}

// A record as the delimited reader returns it, for records whose fields hold
// no comma, no double quote and no leading blank: every line followed by CR LF.
std::string AsRead(const std::string& record) {
  std::string text;
  size_t start = 0;
  while (start < record.size()) {
    size_t end = record.find('\n', start);
    if (end == std::string::npos) end = record.size();
    std::string line = record.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_EQ(line.find_first_of(",\""), std::string::npos) << line;
    text += line + "\r\n";
    start = end + 1;
  }
  return text;
}

// Every file below the folder, with its size, but for the log and the service
// manager's records, which change on their own.
std::set<std::string> FilesBelow(const std::string& folder) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string relative = entry.path().lexically_relative(folder).string();
    if (relative == "TarvoAgent.log" || relative.starts_with("scm")) continue;
    if (entry.is_regular_file()) {
      files.insert(entry.path().string() + " " + std::to_string(entry.file_size()));
    }
  }
  return files;
}

class TaskCommandsE2e : public ::testing::Test {
 protected:
  // A first start from a shell prepares the Tasks folders and the sample task;
  // then the agent runs as a service with the given settings.
  void StartAgent(bool allow_remote_exec, const std::vector<std::string>& more = {}) {
    ASSERT_EQ(install_.RunAgentFromShell().exit_code, 0);
    ASSERT_TRUE(std::filesystem::exists(install_.Path("Tasks/hello.sh")));
    std::vector<std::string> lines{
        "RRDTOOL=FALSE", "PERIODOBASE=0", "LOGLEVEL=1", "REMOTECLIENTS=127.0.0.1;127.0.0",
        allow_remote_exec ? "ALLOWREMOTEEXEC=True" : "ALLOWREMOTEEXEC=False"};
    lines.insert(lines.end(), more.begin(), more.end());
    install_.WriteConfig(lines);
    // A program outside the Tasks folder that leaves a mark when it runs.
    WriteAll(install_.Path("EVIL.SH"), "touch " + install_.Path("evil-ran") + "\n");
    chmod(install_.Path("EVIL.SH").c_str(), 0755);
    ASSERT_GT(install_.StartAgentService(), 0) << install_.Log();
    ASSERT_TRUE(AgentRequest(install_.port(), "PING\n").has_value());
  }

  std::string Reply(const std::string& request) {
    std::optional<std::string> reply = AgentRequest(install_.port(), request);
    EXPECT_TRUE(reply.has_value()) << "no reply to " << request;
    return reply.value_or("<no reply>");
  }
  bool EvilRan() const { return std::filesystem::exists(install_.Path("evil-ran")); }
  std::string Done(const std::string& name) const { return install_.Path("Tasks/Done/" + name); }
  std::string Queued(const std::string& name) const { return install_.Path("Tasks/Queue/" + name); }

  AgentInstall install_;
};

TEST_F(TaskCommandsE2e, TasksListsTheSampleTaskAndExecRunsIt) {
  StartAgent(true);
  EXPECT_EQ(Reply("TASKS\n"), "hello.sh\r\n");

  // The program gets four blank words, so no argument: the help text.
  const std::string help = Reply("EXEC HELLO.SH\n");
  EXPECT_NE(help.find(kHelpLine), std::string::npos) << help;
  EXPECT_EQ(help.find(kRunLine), std::string::npos) << help;

  const std::string run = Reply("EXEC HELLO.SH RUN\n");
  EXPECT_NE(run.find(kRunLine), std::string::npos) << run;
  EXPECT_NE(run.find("hello.sh"), std::string::npos) << "the folder is listed: " << run;
}

TEST_F(TaskCommandsE2e, ExeTaskLeavesARecordThatTheSweepMovesAndTaskQueryReads) {
  StartAgent(true);
  const std::string output = Reply(kTask);
  EXPECT_NE(output.find(kRunLine), std::string::npos) << output;

  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(Done("123_T1.BUF")); }))
      << "the sweep did not move the record";
  EXPECT_FALSE(std::filesystem::exists(Queued("123_T1.BUF")));
  const std::string record = ReadAll(Done("123_T1.BUF"));
  const std::optional<std::string> output_part = testsupport::ExampleTaskRecordOutput(record);
  ASSERT_TRUE(output_part.has_value()) << record;
  EXPECT_EQ(*output_part, output + "\r\n");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(install_.folder())) {
    if (entry.is_regular_file() && entry.path().filename() != "AgentTarvoService") {
      EXPECT_EQ(ReadAll(entry.path()).find("SECRET"), std::string::npos) << entry.path();
    }
  }

  // The name in another letter case finds the record.
  const std::string dump = Reply("TASKQUERY 123_t1.buf DUMP\n");
  EXPECT_EQ(dump, AsRead(record));
  EXPECT_EQ(Reply("TASKQUERY 123_t1.buf X\n"), dump.substr(dump.find("#FUNCTAG:STATUS:") + 16));
  EXPECT_EQ(Reply("TASKQUERY NO_SUCH.BUF DUMP\n"), "NO_SUCH.BUF DUMP");

  Reply("EXETASK #124_T2.BUF#MY TASK#HELLO.SH RUN#O#USER##1#NOT IN THE OUTPUT\n");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(Done("124_T2.BUF")); }));
  EXPECT_TRUE(Reply("TASKQUERY 124_T2.BUF X\n").starts_with("FAIL\r\n#FUNCTAG:OUTPUT\r\n"));
}

TEST_F(TaskCommandsE2e, NoLogLevelWritesATaskPasswordWhateverWordsTheLineHolds) {
  // Task names, programs and arguments that hold the other command words, so
  // that their handlers log the line and texts cut from it.
  const std::vector<std::string> requests = {
      "EXETASK #PW1.BUF#EXECUTE#HELLO.SH#O#U#TOPSECRET#1#X\n",
      "EXETASK #PW2.BUF#SERVICE_STATUS#HELLO.SH SERVICE_STOP#O#U#TOPSECRET#1#X\n",
      "EXETASK #PW3.BUF#PUSHEVENTS#HELLO.SH RUN#O#U#TOPSECRET#1#X\n",
      "EXETASK #PW4.BUF#EXEC#A/B#O#U#TOPSECRET#1#X\n",
      "EXETASK #PW5.BUF#EXEC#HELLO.SH#O#U#TOP SECRET#1#X\n",
      "exetask #pw6.buf#execute#hello.sh run#o#u#topsecret\r\n",
  };
  StartAgent(true, {"LOGLEVEL=0"});
  for (int level = 0; level <= 5; ++level) {
    if (level > 0) {
      ASSERT_EQ(install_.Sc({"stop", kAgentService}).exit_code, 0);
      ASSERT_TRUE(install_.WaitForState(kAgentService, 1));
      install_.WriteConfig({"RRDTOOL=FALSE", "PERIODOBASE=0", "REMOTECLIENTS=127.0.0.1",
                            "ALLOWREMOTEEXEC=True", "LOGLEVEL=" + std::to_string(level)});
      ASSERT_EQ(install_.Sc({"start", kAgentService}).exit_code, 0);
      ASSERT_TRUE(install_.WaitForState(kAgentService, 4));
    }
    for (const std::string& request : requests) Reply(request);
  }
  ASSERT_NE(install_.Log().find("Begin Exec"), std::string::npos) << install_.Log();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(install_.folder())) {
    if (entry.is_regular_file() && entry.path().filename() != "AgentTarvoService") {
      std::string upper = ReadAll(entry.path());
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      EXPECT_EQ(upper.find("SECRET"), std::string::npos) << entry.path() << "\n" << upper;
    }
  }
}

TEST_F(TaskCommandsE2e, ATaskThatClosesItsOutputGetsItsReplyAtOnceAndWorksOn) {
  StartAgent(true, {"PROCESSTIMEOUT=1"});
  const std::string go_on = install_.Path("go-on");
  // Past PROCESSTIMEOUT the task still works, with its output closed (for 30 s
  // at most, should the test stop early).
  WriteAll(install_.Path("Tasks/detach.sh"),
           "echo $$; exec >/dev/null 2>&1\ni=0\nuntil [ -e " + go_on +
               " ] || [ $i -ge 600 ]; do sleep 0.05; i=$((i+1)); done\n");
  const std::string reply = Reply("EXEC DETACH.SH\n");
  ASSERT_FALSE(reply.empty());
  const pid_t task = std::stoi(reply);
  EXPECT_TRUE(testsupport::ProcessAlive(task));
  EXPECT_FALSE(Reply("PING\n").empty());
  EXPECT_TRUE(testsupport::ProcessAlive(task));
  EXPECT_EQ(install_.Log().find("Process killed"), std::string::npos) << install_.Log();
  WriteAll(go_on, "");
  // The agent collects it as soon as it ends: no zombie stays behind.
  EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists("/proc/" + std::to_string(task)); }));
}

TEST_F(TaskCommandsE2e, GatedTaskWordsDoNothingWhenRemoteExecutionIsOff) {
  StartAgent(false);
  EXPECT_EQ(Reply("EXEC ../EVIL.SH\n"), "");
  EXPECT_EQ(Reply("EXEC HELLO.SH RUN\n"), "");
  EXPECT_EQ(Reply(kTask), "");
  EXPECT_TRUE(std::filesystem::is_empty(install_.Path("Tasks/Queue")));
  EXPECT_TRUE(std::filesystem::is_empty(install_.Path("Tasks/Done")));
  EXPECT_FALSE(EvilRan());
  EXPECT_EQ(Reply("TASKS\n"), "hello.sh\r\n");  // the open words still answer
}

// Passes once the dispatcher consults REMOTECLIENTS for the gated words.
TEST_F(TaskCommandsE2e, GatedTaskWordsFromAnUnlistedAddressDoNothingAndAreLogged) {
  StartAgent(true);
  const std::string log_before = install_.Log();
  EXPECT_EQ(RequestFrom(kUnlistedAddress, install_.port(), "EXEC HELLO.SH RUN\n"), "");
  EXPECT_EQ(RequestFrom(kUnlistedAddress, install_.port(), kTask), "");
  EXPECT_TRUE(std::filesystem::is_empty(install_.Path("Tasks/Queue")));
  EXPECT_TRUE(std::filesystem::is_empty(install_.Path("Tasks/Done")));
  const std::string log = install_.Log().substr(log_before.size());
  EXPECT_EQ(Occurrences(log, kUnlistedAddress), 2u) << log;

  const std::optional<std::string> ping = RequestFrom(kUnlistedAddress, install_.port(), "PING\n");
  EXPECT_NE(ping.value_or("").find(" PONG "), std::string::npos);
  // The listed address still runs programs.
  EXPECT_NE(Reply("EXEC HELLO.SH RUN\n").find(kRunLine), std::string::npos);
}

TEST_F(TaskCommandsE2e, NamesThatLeaveTheTasksFoldersRunWriteAndReadNothing) {
  StartAgent(true);
  // A record that is a link to a file elsewhere is not read either.
  std::filesystem::create_directories(Done(""));
  std::filesystem::create_symlink(install_.Path("TarvoAgent.cfg"), Done("7_LINK.TXT"));
  const std::set<std::string> files_before = FilesBelow(install_.folder());
  const char* requests[] = {
      "EXEC ../../bin/ls\n",
      "EXEC ..\\..\\bin\\ls\n",
      "EXEC ../EVIL.SH\n",
      "EXEC ..\\EVIL.SH\n",
      "EXETASK #../x#T#HELLO.SH RUN#O#U#PW#1#S\n",
      "EXETASK #..\\x#T#HELLO.SH RUN#O#U#PW#1#S\n",
      "EXETASK #../../x#T#HELLO.SH RUN#O#U#PW#1#S\n",
      "EXETASK #X#T#../EVIL.SH#O#U#PW#1#S\n",
      "EXETASK #X#T#..\\EVIL.SH#O#U#PW#1#S\n",
      "TASKQUERY ../../TarvoAgent.cfg DUMP\n",
      "TASKQUERY ..\\..\\TarvoAgent.cfg DUMP\n",
      "TASKQUERY ../../TarvoAgent.cfg X\n",
      "TASKQUERY 7_LINK.TXT DUMP\n",
  };
  for (const char* request : requests) EXPECT_EQ(Reply(request), "") << request;
  EXPECT_FALSE(EvilRan());
  EXPECT_EQ(FilesBelow(install_.folder()), files_before);
  EXPECT_EQ(Occurrences(install_.Log(), " ProcessCommand Func "), std::size(requests));
}

TEST_F(TaskCommandsE2e, ARecordNameAlreadyInDoneHoldsTheSweepWhileTheAgentKeepsServing) {
  ASSERT_EQ(install_.RunAgentFromShell().exit_code, 0);
  WriteAll(Done("5_T.BUF"), "a record swept long ago");
  StartAgent(true);
  EXPECT_NE(Reply("EXETASK #5_T.BUF#T#HELLO.SH#B\n").find(kHelpLine), std::string::npos);
  EXPECT_NE(Reply("EXETASK #6_T.BUF#T#HELLO.SH#B\n").find(kHelpLine), std::string::npos);
  // Every sweep stops at the first record and logs it.
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(install_.Log(), " CleanTaskFiles") >= 3; }))
      << install_.Log();
  EXPECT_TRUE(std::filesystem::exists(Queued("5_T.BUF")));
  EXPECT_TRUE(std::filesystem::exists(Queued("6_T.BUF")));
  EXPECT_EQ(ReadAll(Done("5_T.BUF")), "a record swept long ago");
  EXPECT_NE(Reply("PING\n").find(" PONG "), std::string::npos);
}

}  // namespace
}  // namespace e2e
