// The service manager with real service processes: start, controls through the
// dispatcher and handler, status while pending, after a crash and after delete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "platform/linux/ProcessProbe.h"
#include "platform/posix/ScmHandles.h"
#include "tests/support/Processes.h"
#include "tests/support/ScmTestRoot.h"

namespace platform {
namespace {

using testsupport::WaitUntil;

class ScmServiceTest : public ::testing::Test {
 protected:
  ScmServiceTest() : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}
  ~ScmServiceTest() override {
    for (SC_HANDLE handle : handles_) CloseServiceHandle(handle);
    CloseServiceHandle(manager_);
  }

  std::string LogPath() const { return scm_.Path("service.log"); }
  std::string Log() const { return testsupport::ReadAll(LogPath()); }
  bool WaitForLog(const std::string& text) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }

  // Installs the test service program with its log and the given options.
  SC_HANDLE Install(const char* name, const std::string& options = "",
                    const char* account = nullptr) {
    std::string binary =
        std::string("\"") + TARVO_TEST_SERVICE + "\" --log \"" + LogPath() + "\" " + options;
    return Keep(CreateServiceA(manager_, name, nullptr, SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                               SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                               account, nullptr));
  }

  SC_HANDLE Keep(SC_HANDLE handle) {
    if (handle != nullptr) handles_.push_back(handle);
    return handle;
  }

  static SERVICE_STATUS_PROCESS Status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    return status;
  }

  static bool WaitForState(SC_HANDLE service, DWORD state) {
    return WaitUntil([&] { return Status(service).dwCurrentState == state; });
  }

  // Starts the service and waits until it reports running; its process id.
  static pid_t StartRunning(SC_HANDLE service) {
    if (!StartServiceA(service, 0, nullptr) || !WaitForState(service, SERVICE_RUNNING)) return 0;
    return static_cast<pid_t>(Status(service).dwProcessId);
  }

  testsupport::ScmTestRoot scm_;
  SC_HANDLE manager_;
  std::vector<SC_HANDLE> handles_;
};

TEST_F(ScmServiceTest, StartsRunsAndStopsThroughTheHandler) {
  ASSERT_NE(Install("Echo Service"), nullptr);
  SC_HANDLE service = Keep(OpenServiceA(manager_, "ECHO SERVICE", SERVICE_ALL_ACCESS));
  pid_t pid = StartRunning(service);
  ASSERT_GT(pid, 0);
  EXPECT_NE(Log().find("launched " + std::to_string(pid)), std::string::npos);
  EXPECT_NE(Log().find("argv Echo Service\n"), std::string::npos);
  EXPECT_NE(Log().find("second dispatcher 1056"), std::string::npos);
  EXPECT_EQ(Status(service).dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);

  SERVICE_STATUS status{};
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);

  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING ||
              status.dwCurrentState == SERVICE_STOPPED);
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  EXPECT_EQ(Status(service).dwProcessId, 0u);
  EXPECT_TRUE(WaitForLog("exited"));
  EXPECT_NE(Log().find("started\nrunning\ncontrol 4\ncontrol 1\nstopping\n"), std::string::npos);
  EXPECT_EQ(Log().find("status failed"), std::string::npos);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ScmServiceTest, ServiceMainGetsTheStartArguments) {
  SC_HANDLE service = Install("Args");
  const char* args[] = {"Args", "one", "two words"};
  ASSERT_TRUE(StartServiceA(service, 3, args));
  EXPECT_TRUE(WaitForLog("argv Args one two words\n"));
}

TEST_F(ScmServiceTest, ServiceProcessIsDetachedFromTheCaller) {
  // A descriptor the caller leaks (no close-on-exec) must not reach the service.
  int leak[2];
  ASSERT_EQ(pipe(leak), 0);
  struct stat leaked {};
  ASSERT_EQ(fstat(leak[0], &leaked), 0);
  std::string leaked_link = "pipe:[" + std::to_string(leaked.st_ino) + "]";
  SC_HANDLE service = Install("Detached");
  pid_t pid = StartRunning(service);
  close(leak[0]);
  close(leak[1]);
  ASSERT_GT(pid, 0);

  auto stat = ReadProcessIdentity(pid);
  ASSERT_TRUE(stat);
  EXPECT_NE(stat->ppid, getpid());
  EXPECT_EQ(getsid(pid), pid);
  std::string fd_folder = "/proc/" + std::to_string(pid) + "/fd/";
  for (int fd = 0; fd <= 2; ++fd) {
    char target[256] = {};
    ASSERT_GT(readlink((fd_folder + std::to_string(fd)).c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null") << "fd " << fd;
  }
  for (int fd = 3; fd < 64; ++fd) {
    char target[256] = {};
    if (readlink((fd_folder + std::to_string(fd)).c_str(), target, sizeof target - 1) <= 0) {
      continue;
    }
    EXPECT_NE(target, leaked_link) << "fd " << fd;
  }
  std::string environment = testsupport::ReadAll("/proc/" + std::to_string(pid) + "/environ");
  EXPECT_NE(environment.find(std::string("TARVO_SCM_SERVICE=Detached") + '\0'), std::string::npos);
  EXPECT_NE(environment.find("TARVO_SCM_ROOT=" + scm_.root() + '\0'), std::string::npos);
}

TEST_F(ScmServiceTest, ProgramThatNeverRegistersStaysStartPendingUntilItEnds) {
  SC_HANDLE service = Install("Silent", "--never-register");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  ASSERT_TRUE(WaitForLog("launched"));
  SERVICE_STATUS_PROCESS status = Status(service);
  EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
  pid_t pid = static_cast<pid_t>(status.dwProcessId);
  ASSERT_GT(pid, 0);

  SERVICE_STATUS control{};
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &control));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(control.dwCurrentState, SERVICE_START_PENDING);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &control));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

  testsupport::KillProcess(pid);
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmServiceTest, KilledServiceReadsStoppedAndStartsAgain) {
  SC_HANDLE service = Install("Crashy");
  pid_t first = StartRunning(service);
  ASSERT_GT(first, 0);
  testsupport::KillProcess(first);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, 1067u);  // ERROR_PROCESS_ABORTED
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  pid_t second = StartRunning(service);
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
}

TEST_F(ScmServiceTest, StopStaysPendingUntilTheProcessThatReportedStoppedHasEnded) {
  SC_HANDLE service = Install("Lingering", "--linger");
  const pid_t pid = StartRunning(service);
  ASSERT_GT(pid, 0);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForLog("exited"));
  // The process has reported stopped but still holds whatever it held.
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_EQ(Status(service).dwProcessId, static_cast<DWORD>(pid));
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  testsupport::KillProcess(pid);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);  // it did report stopped
  EXPECT_GT(StartRunning(service), 0);
}

TEST_F(ScmServiceTest, OnlyTheHandlerDecidesWhatAControlDoes) {
  SC_HANDLE service = Install("Stubborn", "--ignore-stop");
  ASSERT_GT(StartRunning(service), 0);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  ASSERT_TRUE(ControlService(service, 130, &status));  // user-defined: always passed on
  EXPECT_TRUE(WaitForLog("control 130"));
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ScmServiceTest, HandlerThatDoesNotAnswerTimesOut) {
  SC_HANDLE service = Install("Hung", "--hang-control");
  ASSERT_GT(StartRunning(service), 0);
  auto saved = scm::ControlReplyTimeout();
  scm::ControlReplyTimeout() = std::chrono::milliseconds(300);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(service, 200, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
  scm::ControlReplyTimeout() = saved;
}

TEST_F(ScmServiceTest, ProcessesOutsideTheManagerAreNotTheService) {
  // A child of the service inherits its environment but is another process.
  SC_HANDLE service = Install("Parent", "--spawn-child");
  ASSERT_GT(StartRunning(service), 0);
  EXPECT_TRUE(WaitForLog("child dispatcher 1063"));
  // Started from a shell, the program cannot reach the manager.
  std::string shell_log = scm_.Path("shell.log");
  auto result = testsupport::RunProgram({TARVO_TEST_SERVICE, "--log", shell_log},
                                        {{"TARVO_SCM_SERVICE", ""}});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(testsupport::ReadAll(shell_log).find("dispatcher failed 1063"), std::string::npos);
}

TEST_F(ScmServiceTest, ProgramThatCannotRunFailsTheStart) {
  SC_HANDLE service = Keep(CreateServiceA(
      manager_, "Missing", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, (scm_.Path("no-such-program") + " -x").c_str(),
      nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_NE(service, nullptr);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmServiceTest, DeletedServiceStaysOpenToQueryAndStopUntilItsProcessEnds) {
  ASSERT_NE(Install("Doomed"), nullptr);
  ASSERT_GT(StartRunning(Keep(OpenServiceA(manager_, "Doomed", SERVICE_ALL_ACCESS))), 0);
  {
    SC_HANDLE deleter = OpenServiceA(manager_, "Doomed", DELETE);
    ASSERT_TRUE(DeleteService(deleter));
    EXPECT_FALSE(DeleteService(deleter));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    CloseServiceHandle(deleter);
  }
  // As another program (tarvo-sc, the installer) would: a fresh handle by name.
  SC_HANDLE later = Keep(OpenServiceA(manager_, "DOOMED", SERVICE_ALL_ACCESS));
  ASSERT_NE(later, nullptr) << GetLastError();
  EXPECT_EQ(Status(later).dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(StartServiceA(later, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(Install("doomed"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(later, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(later, SERVICE_STOPPED));
  // The process has ended: the service is gone, and its name free again.
  EXPECT_EQ(OpenServiceA(manager_, "Doomed", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(std::filesystem::exists(scm::ServicesFolder(scm_.root()) + "/doomed"));
  EXPECT_FALSE(QueryServiceConfig2A(later, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &status.dwWaitHint));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_NE(Install("Doomed"), nullptr);
}

TEST_F(ScmServiceTest, ALockHeldElsewhereFailsTheCallAfterABoundedWait) {
  SC_HANDLE service = Install("Patient");
  ASSERT_NE(service, nullptr);
  // Another program holding the manager's lock (a tarvo-sc stopped halfway).
  const int held = open((scm_.root() + "/lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const auto saved = scm::LockWaitTimeout();
  scm::LockWaitTimeout() = std::chrono::milliseconds(200);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_EQ(Install("Second"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DATABASE_LOCKED);
  // Reading needs no lock.
  EXPECT_EQ(Status(service).dwCurrentState, SERVICE_STOPPED);
  close(held);
  EXPECT_GT(StartRunning(service), 0);
  scm::LockWaitTimeout() = saved;
}

TEST_F(ScmServiceTest, ServicesGetACleanEnvironmentAndTheirCreatorsProgramFolder) {
  std::optional<testsupport::ScopedEnv> creator_home;
  creator_home.emplace("TARVO_HOME", scm_.Path("home"));
  SC_HANDLE service = Install("Clean");
  creator_home.reset();
  // What the shell that starts it holds must not reach the service.
  testsupport::ScopedEnv display("DISPLAY", ":42");
  testsupport::ScopedEnv platform_plugin("QT_QPA_PLATFORM", "offscreen");
  testsupport::ScopedEnv notify("NOTIFY_SOCKET", "/run/nothing");
  testsupport::ScopedEnv starter_home("TARVO_HOME", scm_.Path("elsewhere"));
  const pid_t pid = StartRunning(service);
  ASSERT_GT(pid, 0);
  const std::string environ = testsupport::ReadAll("/proc/" + std::to_string(pid) + "/environ");
  std::vector<std::string> names;
  for (size_t start = 0; start < environ.size();) {
    const size_t end = environ.find('\0', start);
    const std::string entry = environ.substr(start, end - start);
    names.push_back(entry.substr(0, entry.find('=')));
    start = end == std::string::npos ? environ.size() : end + 1;
  }
  for (const std::string& name : names) {
    EXPECT_TRUE(name == "PATH" || name == "LANG" || name == "HOME" || name == "USER" ||
                name == "LOGNAME" || name.starts_with("TARVO_") || name.ends_with("SAN_OPTIONS"))
        << name;
  }
  const auto has = [&](const std::string& entry) {
    return environ.find(entry + '\0') != std::string::npos;
  };
  EXPECT_TRUE(has("TARVO_HOME=" + scm_.Path("home")));
  EXPECT_TRUE(has("TARVO_SCM_SERVICE=Clean"));
  EXPECT_TRUE(has("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"));
  if (const passwd* self = getpwuid(geteuid())) {
    EXPECT_TRUE(has(std::string("HOME=") + self->pw_dir));
  }
}

TEST_F(ScmServiceTest, RunsUnderTheConfiguredAccount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch accounts";
  // The account must reach the program, its log and the manager's root.
  ASSERT_EQ(chmod(scm_.folder().c_str(), 0755), 0);
  testsupport::WriteAll(LogPath(), "");
  ASSERT_EQ(chmod(LogPath().c_str(), 0666), 0);
  SC_HANDLE service = Install("Nobody", "", ".\\nobody");
  pid_t pid = StartRunning(service);
  ASSERT_GT(pid, 0);
  std::string status = testsupport::ReadAll("/proc/" + std::to_string(pid) + "/status");
  EXPECT_NE(status.find("Uid:\t65534\t65534"), std::string::npos);
  SERVICE_STATUS control{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &control));
  EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
  EXPECT_TRUE(WaitForLog("exited"));
  EXPECT_EQ(Log().find("status failed"), std::string::npos);

  EXPECT_EQ(Install("Stranger", "", "OTHERDOMAIN\\no-such-user-tarvo"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);
}

}  // namespace
}  // namespace platform
