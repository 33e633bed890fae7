// The installer window driven through its controls' object names, offscreen,
// against a service manager rooted in a temporary folder.

#include "installer/frmServiceControl.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "installer/NTServiceControl.h"
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
    MessageBoxHook() = [this](const QString&, const QString& text) { messages_ << text; };
    ASSERT_TRUE(form_.Form_Load());
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
    const bool reached = WaitUntil([&] { return QueryServiceState(service) == state; });
    form_.tmrCheck_Timer();
    return reached;
  }

  testsupport::ScmTestRoot scm_;
  testsupport::ScopedEnv home_{"TARVO_HOME", Folder()};
  frmServiceControl form_;
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
  EXPECT_TRUE(Installed(kAgentServiceName).has_value());

  form_.cmdStart_Click();
  ASSERT_TRUE(RefreshedAt(kAgentServiceName, platform::SERVICE_STOPPED));
  EXPECT_EQ(Caption("cmdStart"), "Start Service");
  EXPECT_TRUE(Enabled("cmdInstall"));
  form_.cmdInstall_Click();
  EXPECT_FALSE(Installed(kAgentServiceName).has_value());
  EXPECT_EQ(Caption("cmdInstall"), "Install Service");
  EXPECT_TRUE(Enabled("chkSystem"));

  form_.aboutMenu_Click();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains("Tarvo Agent project"));
  EXPECT_TRUE(messages_[0].contains("README"));
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
  EXPECT_EQ(Control<QLineEdit>("Txtaccount2")->text(), qualified);
  EXPECT_EQ(Control<QLineEdit>("txtPassword2")->text(), "");
  EXPECT_FALSE(Installed(kWatchdogServiceName).has_value());
  EXPECT_EQ(Caption("CMDInstall2"), "Install Service");

  if (geteuid() != 0 || RunQuietly("useradd -M -N -s /usr/sbin/nologin " + user) != 0) {
    GTEST_SKIP() << "creating a local user needs root";
  }
  Control<QLineEdit>("txtPassword2")->setText("secret");
  form_.CMDInstall2_Click();
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
