#pragma once
// The installer window: one frame per service showing whether it is installed
// and running, with the fitting actions, kept current by a one-second timer.

#include <QMainWindow>

#include <cstdint>
#include <functional>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;

namespace installer {

// Shows a message box with an OK button. Tests replace it to see and answer
// the message; by default a real box is shown.
using MessageBoxFunction = std::function<void(const QString& title, const QString& text)>;
MessageBoxFunction& MessageBoxHook();
void ShowMessage(const QString& title, const QString& text);

class frmServiceControl : public QMainWindow {
  Q_OBJECT

 public:
  explicit frmServiceControl(QWidget* parent = nullptr);

  // Fills the service file labels, applies each frame's "System Account" box
  // and refreshes both frames. False when the program must end instead.
  bool Form_Load();

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

  QGroupBox* Frame2;
  QLabel* wd_servicefile;
  QLabel* lblAccount2;
  QLineEdit* Txtaccount2;
  QLabel* lblpassword2;
  QLineEdit* txtPassword2;
  QCheckBox* ChkSystem2;
  QPushButton* CMDInstall2;
  QPushButton* CMDStart2;

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
  // The controls and the two values the window keeps for one service.
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
    bool Installed = false;
    int32_t LastState = 0;
  };

  QGroupBox* BuildFrame(const char* frame_name, const char* caption, ServiceFrame& frame,
                        const char* const names[8]);
  void RefreshFrame(ServiceFrame& frame);
  void SystemAccountClicked(ServiceFrame& frame);
  void InstallClicked(ServiceFrame& frame);
  void StartClicked(ServiceFrame& frame);
  void SetAccountFieldsEnabled(ServiceFrame& frame, bool enabled);

  ServiceFrame agent_{};
  ServiceFrame watchdog_{};
};

}  // namespace installer
