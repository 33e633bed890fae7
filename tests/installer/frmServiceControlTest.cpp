// The installer window driven through its controls' object names, offscreen,
// against a service manager rooted in a temporary folder.

#include "installer/frmServiceControl.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "common/TarvoVersion.h"
#include "installer/NTServiceControl.h"
#include "platform/ServiceManager.h"
#include "platform/posix/ScmStore.h"
#include "tests/support/Processes.h"
#include "tests/support/ScmTestRoot.h"

namespace installer {
namespace {

using testsupport::WaitUntil;

int RunQuietly(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class InstallerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Both program files are a small service program that runs until stopped,
    // in a folder whose name holds a blank.
    std::filesystem::create_directory(Folder());
    for (const char* name : {"AgentTarvoService", "TarvoWDService"}) {
      std::filesystem::copy_file(TARVO_TEST_SERVICE_BINARY, Folder() + "/" + name);
    }
    MessageBoxHook() = [this](const QString& title, const QString& text) {
      titles_ << title;
      messages_ << text;
    };
    ASSERT_TRUE(form_.Form_Load());
    ASSERT_TRUE(Settled());
  }

  // Lets the window take in what its service-manager calls answered, until
  // none is on its way.
  bool Settled() {
    return WaitUntil([&] {
      QApplication::processEvents();
      return !form_.CallsPending();
    });
  }

  std::string Folder() const { return scm_.Path("Program Files"); }

  template <typename T>
  T* Control(const char* name) {
    T* control = form_.findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QString Caption(const char* button) { return Control<QPushButton>(button)->text(); }
  bool Enabled(const char* name) { return Control<QWidget>(name)->isEnabled(); }

  std::optional<platform::scm::ServiceConfig> Installed(const char* service) {
    return platform::scm::LoadConfig(scm_.root(), service);
  }
  // Waits for the service's state, then lets the timer's refresh run.
  bool RefreshedAt(const char* service, int32_t state) {
    const bool reached =
        Settled() && WaitUntil([&] { return QueryServiceState(service) == state; });
    form_.tmrCheck_Timer();
    return Settled() && reached;
  }

  testsupport::ScmTestRoot scm_;
  // The data files elsewhere: the programs are still those of the folder given.
  testsupport::ScopedEnv home_{"TARVO_HOME", scm_.Path("data")};
  frmServiceControl form_{Folder()};
  QStringList titles_;
  QStringList messages_;
};

TEST_F(InstallerWindowTest, InstallsStartsStopsAndRemovesTheAgentForTheSystemAccount) {
  EXPECT_EQ(form_.windowTitle(), "Tarvo Agent Service Install");
  EXPECT_EQ(Control<QTimer>("tmrCheck")->interval(), 1000);
  EXPECT_TRUE(Control<QTimer>("tmrCheck")->isActive());
  EXPECT_EQ(Control<QLabel>("label1")->text().toStdString(), Folder() + "/AgentTarvoService");
  EXPECT_EQ(Control<QLineEdit>("txtAccount")->text(), "LocalSystem");
  EXPECT_FALSE(Enabled("txtPassword"));
  EXPECT_EQ(Caption("cmdInstall"), "Install Service");
  EXPECT_FALSE(Enabled("cmdStart"));

  form_.cmdInstall_Click();
  ASSERT_TRUE(Settled());
  const auto config = Installed(kAgentServiceName);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->account, "LocalSystem");
  EXPECT_EQ(config->start_type, platform::SERVICE_AUTO_START);
  EXPECT_EQ(config->type, platform::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(config->description, "Tarvo...");
  EXPECT_EQ(Caption("cmdInstall"), "Uninstall Service");
  EXPECT_EQ(Caption("cmdStart"), "Start Service");
  EXPECT_FALSE(Enabled("chkSystem"));
  EXPECT_FALSE(Installed(kWatchdogServiceName).has_value());
  EXPECT_EQ(Caption("CMDInstall2"), "Install Service");

  form_.cmdStart_Click();
  ASSERT_TRUE(RefreshedAt(kAgentServiceName, platform::SERVICE_RUNNING));
  EXPECT_EQ(Caption("cmdStart"), "Stop Service");
  EXPECT_FALSE(Enabled("cmdInstall"));  // a running service cannot be removed
  form_.cmdInstall_Click();
  ASSERT_TRUE(Settled());
  EXPECT_TRUE(Installed(kAgentServiceName).has_value());

  form_.cmdStart_Click();
  ASSERT_TRUE(RefreshedAt(kAgentServiceName, platform::SERVICE_STOPPED));
  EXPECT_EQ(Caption("cmdStart"), "Start Service");
  EXPECT_TRUE(Enabled("cmdInstall"));
  form_.cmdInstall_Click();
  ASSERT_TRUE(Settled());
  EXPECT_FALSE(Installed(kAgentServiceName).has_value());
  EXPECT_EQ(Caption("cmdInstall"), "Install Service");
  EXPECT_TRUE(Enabled("chkSystem"));

  form_.aboutMenu_Click();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_EQ(titles_[0], "TarvoServiceInstaller");  // the application's title
  EXPECT_TRUE(messages_[0].contains("Tarvo Agent project"));
  EXPECT_TRUE(messages_[0].contains(QString("version ") + common::kVersionText));
  EXPECT_TRUE(messages_[0].contains("README"));
}

TEST_F(InstallerWindowTest, OffersTheProgramsBesideItsOwnExecutableWhateverTarvoHomeSays) {
  frmServiceControl packaged;  // as started from its installed folder
  ASSERT_TRUE(packaged.Form_Load());
  const std::string own_folder = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  EXPECT_EQ(packaged.findChild<QLabel*>("label1")->text().toStdString(),
            own_folder + "/AgentTarvoService");
  EXPECT_EQ(packaged.findChild<QLabel*>("wd_servicefile")->text().toStdString(),
            own_folder + "/TarvoWDService");
}

TEST_F(InstallerWindowTest, TheWindowStaysResponsiveWhileAnotherProgramHoldsTheManager) {
  form_.cmdInstall_Click();
  ASSERT_TRUE(Settled());
  ASSERT_EQ(Caption("cmdStart"), "Start Service");
  // Another program holds the manager's lock (a tarvo-sc stopped halfway).
  const int held = open((scm_.root() + "/lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  form_.cmdStart_Click();  // returns at once: the start waits on the frame's worker
  EXPECT_EQ(Control<QLabel>("lblPending")->text(), "Starting...");
  EXPECT_FALSE(Enabled("cmdStart"));
  EXPECT_FALSE(Enabled("cmdInstall"));
  // Meanwhile the other frame answers, and the timer goes on.
  form_.tmrCheck_Timer();
  Control<QCheckBox>("ChkSystem2")->click();
  EXPECT_TRUE(Enabled("Txtaccount2"));
  EXPECT_EQ(QueryServiceState(kAgentServiceName), platform::SERVICE_STOPPED);
  close(held);
  ASSERT_TRUE(RefreshedAt(kAgentServiceName, platform::SERVICE_RUNNING));
  EXPECT_EQ(Caption("cmdStart"), "Stop Service");
  EXPECT_EQ(Control<QLabel>("lblPending")->text(), "");

  form_.cmdStart_Click();
  ASSERT_TRUE(RefreshedAt(kAgentServiceName, platform::SERVICE_STOPPED));

  // A holder that never lets go costs a few seconds and a clear word, not the
  // window.
  const int stuck = open((scm_.root() + "/lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(stuck, LOCK_EX), 0);
  const auto saved = platform::scm::LockWaitTimeout();
  platform::scm::LockWaitTimeout() = std::chrono::milliseconds(300);
  form_.cmdStart_Click();
  ASSERT_TRUE(Settled());
  platform::scm::LockWaitTimeout() = saved;
  close(stuck);
  EXPECT_TRUE(Control<QLabel>("lblPending")->text().contains("locked"));
  EXPECT_EQ(QueryServiceState(kAgentServiceName), platform::SERVICE_STOPPED);
  EXPECT_EQ(Caption("cmdStart"), "Start Service");
  EXPECT_TRUE(Enabled("cmdStart"));
}

TEST_F(InstallerWindowTest, SystemAccountAgreesWithTheAccountShownAfterAnUninstall) {
  // A watchdog service installed for a typed account (nobody exists on Debian).
  platform::SC_HANDLE manager = platform::OpenSCManagerA(nullptr, nullptr,
                                                         platform::SC_MANAGER_ALL_ACCESS);
  platform::SC_HANDLE service = platform::CreateServiceA(
      manager, kWatchdogServiceName, kWatchdogServiceName, platform::SERVICE_ALL_ACCESS,
      platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_AUTO_START,
      platform::SERVICE_ERROR_NORMAL, (Folder() + "/TarvoWDService").c_str(), nullptr, nullptr,
      nullptr, ".\\nobody", nullptr);
  ASSERT_NE(service, nullptr);
  platform::CloseServiceHandle(service);
  platform::CloseServiceHandle(manager);
  form_.tmrCheck_Timer();
  ASSERT_TRUE(Settled());
  EXPECT_EQ(Control<QLineEdit>("Txtaccount2")->text(), ".\\nobody");
  EXPECT_FALSE(Control<QCheckBox>("ChkSystem2")->isChecked());

  form_.CMDInstall2_Click();
  ASSERT_TRUE(Settled());
  ASSERT_FALSE(Installed(kWatchdogServiceName).has_value());
  EXPECT_EQ(Caption("CMDInstall2"), "Install Service");
  EXPECT_EQ(Control<QLineEdit>("Txtaccount2")->text(), ".\\nobody");
  EXPECT_FALSE(Control<QCheckBox>("ChkSystem2")->isChecked());
  EXPECT_TRUE(Enabled("Txtaccount2"));
  // Install takes the account the frame shows.
  form_.CMDInstall2_Click();
  ASSERT_TRUE(Settled());
  const auto config = Installed(kWatchdogServiceName);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->account, ".\\nobody");
}

TEST_F(InstallerWindowTest, ATypedAccountIsQualifiedAndThePasswordNeverKept) {
  const std::string user = "tarvo" + std::to_string(getpid() % 100000);
  const QString qualified = QString::fromStdString(QualifiedAccount(user, GetLogonDomain()));
  Control<QCheckBox>("ChkSystem2")->click();
  EXPECT_EQ(Control<QLineEdit>("Txtaccount2")->text(), "");
  EXPECT_TRUE(Enabled("txtPassword2"));
  EXPECT_FALSE(Enabled("txtPassword"));  // the agent frame is left alone
  EXPECT_EQ(Control<QLineEdit>("txtAccount")->text(), "LocalSystem");

  // The user does not exist: the manager refuses, nothing is created.
  Control<QLineEdit>("Txtaccount2")->setText(QString::fromStdString(user));
  Control<QLineEdit>("txtPassword2")->setText("secret");
  form_.CMDInstall2_Click();
  ASSERT_TRUE(Settled());
  EXPECT_EQ(Control<QLineEdit>("Txtaccount2")->text(), qualified);
  EXPECT_EQ(Control<QLineEdit>("txtPassword2")->text(), "");
  EXPECT_FALSE(Installed(kWatchdogServiceName).has_value());
  EXPECT_EQ(Caption("CMDInstall2"), "Install Service");

  if (geteuid() != 0 || RunQuietly("useradd -M -N -s /usr/sbin/nologin " + user) != 0) {
    GTEST_SKIP() << "creating a local user needs root";
  }
  Control<QLineEdit>("txtPassword2")->setText("secret");
  form_.CMDInstall2_Click();
  ASSERT_TRUE(Settled());
  const auto config = Installed(kWatchdogServiceName);
  RunQuietly("userdel " + user);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(QString::fromStdString(config->account), qualified);
  EXPECT_EQ(config->description, "");
  EXPECT_EQ(Control<QLineEdit>("txtPassword2")->text(), "");
  EXPECT_EQ(Caption("CMDInstall2"), "Uninstall Service");
  EXPECT_EQ(Control<QLineEdit>("Txtaccount2")->text(), qualified);
  EXPECT_EQ(Control<QLineEdit>("txtAccount")->text(), "LocalSystem");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(scm_.root())) {
    if (entry.is_regular_file()) {
      EXPECT_EQ(testsupport::ReadAll(entry.path()).find("secret"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace installer

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
