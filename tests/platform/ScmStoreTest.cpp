#include "platform/posix/ScmStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/linux/ProcessProbe.h"
#include "tests/support/ScmTestRoot.h"

namespace platform::scm {
namespace {

TEST(ServiceKey, FoldsLetterCaseAndEscapesEverythingElse) {
  EXPECT_EQ(ServiceKey("Tarvo Agent Service"), "tarvo%20agent%20service");
  EXPECT_EQ(ServiceKey("TARVO AGENT SERVICE"), ServiceKey("tarvo agent service"));
  EXPECT_EQ(ServiceKey("a.b_c-9"), "a.b_c-9");
  EXPECT_EQ(ServiceKey(".."), "%2e.");
  EXPECT_EQ(ServiceKey("x/y"), "x%2fy");
}

TEST(ServiceKey, ShortensLongNamesWithoutMergingThem) {
  std::string a(256, ' ');
  std::string b = a;
  b.back() = 'x';
  EXPECT_LE(ServiceKey(a).size(), 200u);
  EXPECT_NE(ServiceKey(a), ServiceKey(b));
}

TEST(UserOfAccount, MapsAccountsToExistingLocalUsersOnly) {
  EXPECT_EQ(UserOfAccount("LocalSystem"), "");
  EXPECT_EQ(UserOfAccount(""), "");
  EXPECT_EQ(UserOfAccount(".\\nobody"), "nobody");
  EXPECT_EQ(UserOfAccount("CORP\\nobody"), "nobody");
  EXPECT_EQ(UserOfAccount("CORP\\"), std::nullopt);  // never root
  EXPECT_EQ(UserOfAccount(".\\no-such-user-tarvo"), std::nullopt);
}

TEST(ParseConfig, ReadsBackWhatFormatConfigWrote) {
  ServiceConfig config;
  config.name = "Svc=One";
  config.display_name = "Line\nbreak \\ and \r";
  config.binary_path = "\"/opt/x y/prog\" -a \\b";
  config.account = ".\\svcuser";
  config.description = "Tarvo...";
  config.start_type = SERVICE_AUTO_START;
  auto back = ParseConfig(FormatConfig(config));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, config.name);
  EXPECT_EQ(back->display_name, config.display_name);
  EXPECT_EQ(back->binary_path, config.binary_path);
  EXPECT_EQ(back->account, config.account);
  EXPECT_EQ(back->description, config.description);
  EXPECT_EQ(back->start_type, SERVICE_AUTO_START);
  EXPECT_EQ(back->type, SERVICE_WIN32_OWN_PROCESS);
}

TEST(ParseConfig, RejectsRecordsWithoutNameOrWithBadNumbers) {
  EXPECT_FALSE(ParseConfig("display=x\n"));
  EXPECT_FALSE(ParseConfig("name=x\nstart=auto\n"));
  EXPECT_TRUE(ParseConfig("name=x\nfuture=1\n"));
}

TEST(ParseStatus, ReadsBackWhatFormatStatusWrote) {
  StatusRecord record;
  record.status = {16, SERVICE_RUNNING, 21, 0, 7, 3, 2000};
  record.pid = 4242;
  record.start_time = 123456789012ull;
  record.args = "Svc \"a b\"";
  auto back = ParseStatus(FormatStatus(record));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(back->status.dwControlsAccepted, 21u);
  EXPECT_EQ(back->status.dwServiceSpecificExitCode, 7u);
  EXPECT_EQ(back->status.dwWaitHint, 2000u);
  EXPECT_EQ(back->pid, 4242);
  EXPECT_EQ(back->start_time, 123456789012ull);
  EXPECT_EQ(back->args, record.args);
  EXPECT_FALSE(ParseStatus("pid=1\n"));
  EXPECT_FALSE(ParseStatus("state=x\n"));
}

// The status in force depends on whether the recorded process is still the
// process that was started.
TEST(LiveStatus, TrustsARecordOnlyWhileItsProcessRuns) {
  testsupport::ScmTestRoot scm;
  EXPECT_EQ(LiveStatus(scm.root(), "none").dwCurrentState, SERVICE_STOPPED);

  auto self = ReadProcessIdentity(getpid());
  ASSERT_TRUE(self);
  StatusRecord record;
  record.status.dwCurrentState = SERVICE_START_PENDING;
  record.pid = getpid();
  record.start_time = self->start_time;
  ASSERT_EQ(SaveStatus(scm.root(), "Mine", record), 0);
  SERVICE_STATUS_PROCESS live = LiveStatus(scm.root(), "MINE");
  EXPECT_EQ(live.dwCurrentState, SERVICE_START_PENDING);
  EXPECT_EQ(live.dwProcessId, static_cast<DWORD>(getpid()));

  record.start_time = self->start_time + 1;  // the same id, another process
  ASSERT_EQ(SaveStatus(scm.root(), "Mine", record), 0);
  live = LiveStatus(scm.root(), "Mine");
  EXPECT_EQ(live.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(live.dwProcessId, 0u);
  EXPECT_EQ(live.dwWin32ExitCode, 1067u);
  record.pid = 0;  // the kill in teardown must find nothing alive
  SaveStatus(scm.root(), "Mine", record);
}

}  // namespace
}  // namespace platform::scm
