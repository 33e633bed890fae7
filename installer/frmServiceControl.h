#pragma once
// The installer window: one frame per service showing whether it is installed
// and running, with the fitting actions, kept current by a one-second timer.
//
// The service-manager calls run on a worker thread per frame (ServiceWorker):
// a refresh reads the frame's service there and the window applies what it
// read; an action re-reads the service there, acts when the state still calls
// for it, and reads again. Meanwhile the window stays responsive and the frame
// shows what it is doing in its pending label.

#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "installer/NTServiceControl.h"
#include "installer/ServiceWorker.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;

namespace installer {

// The application's title, which every message box carries.
QString ApplicationTitle();

// Shows a message box with an OK button. Tests replace it to see and answer
// the message; by default a real box is shown.
using MessageBoxFunction = std::function<void(const QString& title, const QString& text)>;
MessageBoxFunction& MessageBoxHook();
void ShowMessage(const QString& title, const QString& text);

class frmServiceControl : public QMainWindow {
  Q_OBJECT

 public:
  // program_folder: where AgentTarvoService and TarvoWDService are expected;
  // empty for the folder of this program's own executable.
  explicit frmServiceControl(const std::string& program_folder = "", QWidget* parent = nullptr);
  ~frmServiceControl() override;

  // Fills the service file labels, applies each frame's "System Account" box
  // and refreshes both frames. False when the program must end instead.
  bool Form_Load();

  // Whether a refresh or an action of either frame has not come back yet.
  bool CallsPending() const;

  // The controls, named as their objectName.
  QGroupBox* Frame1;
  QLabel* label1;
  QLabel* lblAccount;
  QLineEdit* txtAccount;
  QLabel* lblPassword;
  QLineEdit* txtPassword;
  QCheckBox* chkSystem;
  QPushButton* cmdInstall;
  QPushButton* cmdStart;
  QLabel* lblPending;  // what the agent frame is doing, or why it did nothing

  QGroupBox* Frame2;
  QLabel* wd_servicefile;
  QLabel* lblAccount2;
  QLineEdit* Txtaccount2;
  QLabel* lblpassword2;
  QLineEdit* txtPassword2;
  QCheckBox* ChkSystem2;
  QPushButton* CMDInstall2;
  QPushButton* CMDStart2;
  QLabel* lblPending2;

  QTimer* tmrCheck;
  QMenu* FileMenu;
  QAction* ExitMenu;
  QAction* aboutMenu;

 public slots:
  void cmdInstall_Click();
  void CMDInstall2_Click();
  void cmdStart_Click();
  void CMDStart2_Click();
  void chkSystem_Click();
  void ChkSystem2_Click();
  void tmrCheck_Timer();
  void ExitMenu_Click();
  void aboutMenu_Click();

 private:
  // The controls and the values the window keeps for one service.
  struct ServiceFrame {
    const char* service_name;
    QLabel* service_file;
    QLabel* account_label;
    QLineEdit* account;
    QLabel* password_label;
    QLineEdit* password;
    QCheckBox* system_account;
    QPushButton* install;
    QPushButton* start;
    QLabel* pending;
    bool Installed = false;
    int32_t LastState = 0;
    bool acting = false;   // an action is on its way
    bool reading = false;  // a refresh is on its way
    std::unique_ptr<ServiceWorker> worker;
  };
  // What an action did, with what the frame reads afterwards.
  struct ActionOutcome {
    ServiceReading reading;
    platform::DWORD error = 0;       // the failed call's code; 0 when none failed
    std::string account;             // the account an install used
  };

  QGroupBox* BuildFrame(const char* frame_name, const char* caption, ServiceFrame& frame,
                        const char* const names[9]);
  void RefreshFrame(ServiceFrame& frame);
  void ApplyReading(ServiceFrame& frame, const ServiceReading& reading);
  void SystemAccountClicked(ServiceFrame& frame);
  void InstallClicked(ServiceFrame& frame);
  void StartClicked(ServiceFrame& frame);
  // Runs an action on the frame's worker, the frame showing `doing` meanwhile.
  void Act(ServiceFrame& frame, const QString& doing, std::function<ActionOutcome()> action);
  void SetAccountFieldsEnabled(ServiceFrame& frame, bool enabled);

  std::string program_folder_;
  ServiceFrame agent_{};
  ServiceFrame watchdog_{};
};

}  // namespace installer
