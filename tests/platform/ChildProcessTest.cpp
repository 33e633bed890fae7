#include "platform/ChildProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <climits>
#include <filesystem>
#include <fstream>

#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildrenOfThisProcess;
using testsupport::ReadAll;
using testsupport::TempFolder;
using testsupport::WaitUntil;
using testsupport::WriteAll;

ChildRunLimits Limits(std::chrono::milliseconds timeout = 20s, size_t max_bytes = 16u << 20) {
  ChildRunLimits limits;
  limits.Timeout = timeout;
  limits.MaxOutputBytes = max_bytes;
  return limits;
}

ChildRunResult RunLine(std::string_view command_line, const ChildRunLimits& limits = Limits()) {
  return RunCommandLine(command_line, limits);
}


void WriteScript(const std::string& path, const std::string& text, mode_t mode) {
  WriteAll(path, text);
  chmod(path.c_str(), mode);
}

TEST(RunCommandLine, ReturnsStandardOutputAndStandardErrorInTheOrderWritten) {
  const ChildRunResult run = RunLine(R"(sh -c "echo out; echo err 1>&2; echo again")");
  EXPECT_EQ(run.StartError, ChildStartError::kNone);
  EXPECT_EQ(run.Output, "out\nerr\nagain\n");
  EXPECT_FALSE(run.TimedOut);
  EXPECT_FALSE(run.Truncated);
}

TEST(RunCommandLine, ReturnsLongOutputWholeAndInOrder) {
  std::string expected;
  for (int i = 1; i <= 20000; ++i) expected += std::to_string(i) + "\n";
  EXPECT_EQ(RunLine("seq 1 20000").Output, expected);
}

TEST(RunCommandLine, GivesNoOutputForAProgramThatDoesNotExist) {
  const ChildRunResult run = RunLine("tarvo-no-such-program --flag");
  EXPECT_EQ(run.StartError, ChildStartError::kNotStarted);
  EXPECT_EQ(run.Output, "");
  EXPECT_EQ(RunLine("").StartError, ChildStartError::kNotStarted);
  EXPECT_EQ(RunLine("/nonexistent/folder/prog").StartError, ChildStartError::kNotStarted);
}

TEST(RunCommandLine, RunsAScriptWithoutExecuteBitThroughTheShell) {
  TempFolder folder;
  std::filesystem::create_directory(folder.Path("with blank"));
  const std::string script = folder.Path("with blank/task.sh");
  WriteScript(script, "echo \"arg=$1\"\n", 0644);
  EXPECT_EQ(RunLine("\"" + script + "\" \"two words\"").Output, "arg=two words\n");

  // An executable text file without a "#!" line is run by the shell too.
  const std::string bare = folder.Path("bare");
  WriteScript(bare, "echo bare $1\n", 0755);
  EXPECT_EQ(RunLine(bare + " x").Output, "bare x\n");
}

TEST(RunCommandLine, FindsTheProgramOnPath) {
  TempFolder folder;
  WriteScript(folder.Path("tarvo-probe"), "#!/bin/sh\necho found\n", 0755);
  testsupport::ScopedEnv path("PATH", folder.path() + ":/usr/bin:/bin");
  EXPECT_EQ(RunLine("tarvo-probe").Output, "found\n");
}

TEST(RunCommandLine, GivesTheChildNoInputAndNoneOfTheCallersDescriptors) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // inheritable on purpose
  const std::string probe =
      "test -e /proc/self/fd/" + std::to_string(fds[1]) + " && echo open || echo closed";
  EXPECT_EQ(RunLine("sh -c \"" + probe + "\"").Output, "closed\n");
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(RunLine("cat").Output, "");
}

TEST(RunCommandLine, WaitsForABackgroundProgramThatHoldsTheOutput) {
  const ChildRunResult run = RunLine(R"(sh -c "(sleep 0.3; echo late) & echo early")");
  EXPECT_EQ(run.Output, "early\nlate\n");
  EXPECT_FALSE(run.TimedOut);
}

TEST(RunCommandLine, KillsTheProcessGroupAtTheTimeLimitAndKeepsWhatWasWritten) {
  // The background sleep holds the pipe; its process id is the first line.
  const ChildRunResult run =
      RunLine(R"(sh -c "sleep 120 & echo $!; echo partial; sleep 120")", Limits(300ms));
  EXPECT_TRUE(run.TimedOut);
  const size_t line_end = run.Output.find('\n');
  ASSERT_NE(line_end, std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.substr(line_end + 1), "partial\n");
  const pid_t grandchild = std::stoi(run.Output.substr(0, line_end));
  EXPECT_TRUE(WaitUntil([&] { return !testsupport::ProcessAlive(grandchild); }));
}

TEST(RunCommandLine, KeepsOutputUpToTheCapAndDrainsTheRest) {
  TempFolder folder;
  // The writer is never cut off: it ends normally once everything is read.
  const ChildRunResult run =
      RunLine("sh -c \"head -c 3000000 /dev/zero; echo $? > " + folder.Path("status") + "\"",
              Limits(20s, 1000));
  EXPECT_EQ(run.Output, std::string(1000, '\0'));
  EXPECT_TRUE(run.Truncated);
  EXPECT_FALSE(run.TimedOut);
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(folder.Path("status")) == "0\n"; }));
}

TEST(RunCommandLine, ReturnsWhenTheOutputEndsAndLetsTheChildWorkOn) {
  TempFolder folder;
  const std::string go_on = folder.Path("go-on");
  // The child closes its output, then works until the test lets it end (30 s
  // at most).
  const ChildRunResult run =
      RunLine("sh -c \"echo $$; exec >/dev/null 2>&1; i=0; until [ -e " + go_on +
                  " ] || [ $i -ge 600 ]; do sleep 0.05; i=$((i+1)); done\"",
              Limits(10s));
  EXPECT_FALSE(run.TimedOut);
  const pid_t child = std::stoi(run.Output);
  EXPECT_TRUE(testsupport::ProcessAlive(child));
  WriteAll(go_on, "");
  // Collected as soon as it ends: no zombie stays behind.
  EXPECT_TRUE(WaitUntil([] { return ChildrenOfThisProcess().empty(); }));
}

TEST(RunCommandLine, LeavesNoChildBehind) {
  for (int i = 0; i < 20; ++i) RunLine("true");
  RunLine(R"(sh -c "exec >/dev/null 2>&1; sleep 0.2")");  // closes its output, then ends
  RunLine("sleep 30", Limits(100ms));
  EXPECT_TRUE(WaitUntil([] { return ChildrenOfThisProcess().empty(); }));
}

TEST(SpawnDetached, StartsTheProgramInTheGivenFolderWithoutWaiting) {
  TempFolder folder;
  char before[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
  const std::optional<int> pid = SpawnDetached({"sh", "-c", "pwd > where.txt"}, folder.path());
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(folder.Path("where.txt")) == folder.path() + "\n"; }));
  char after[PATH_MAX];
  ASSERT_NE(getcwd(after, sizeof(after)), nullptr);
  EXPECT_STREQ(before, after);
  // The program is not our child, so it can never become our zombie.
  EXPECT_TRUE(WaitUntil([&] { return !testsupport::ProcessAlive(*pid); }));
  EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int>{});
}

TEST(SpawnDetached, ReportsAProgramOrFolderThatIsNotThere) {
  TempFolder folder;
  EXPECT_FALSE(SpawnDetached({"tarvo-no-such-program"}, folder.path()).has_value());
  EXPECT_FALSE(SpawnDetached({"true"}, folder.Path("missing")).has_value());
  EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int>{});
}

}  // namespace
}  // namespace platform
