#include "installer/frmServiceControl.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "common/ProgramFolder.h"
#include "common/ServiceGlue.h"
#include "common/TarvoVersion.h"
#include "installer/NTServiceControl.h"
#include "platform/ServiceManager.h"

namespace installer {
namespace {

constexpr int kCheckIntervalMs = 1000;
// Wide enough for a program folder path of usual length on one line.
constexpr int kMinimumWidth = 460;

// Creates a child object whose objectName is the member's name.
template <typename T, typename... Args>
T* Named(const char* name, Args&&... args) {
  T* object = new T(std::forward<Args>(args)...);
  object->setObjectName(QString::fromLatin1(name));
  return object;
}

QString FromLocal(const std::string& text) { return QString::fromStdString(text); }
std::string ToLocal(const QString& text) { return text.toStdString(); }

// What a frame shows while its action is on its way.
const char* const kInstalling = "Installing...";
const char* const kUninstalling = "Uninstalling...";
const char* const kStarting = "Starting...";
const char* const kStopping = "Stopping...";
// What it shows when the action gave up waiting for the manager's lock.
const char* const kDatabaseLocked =
    "The service manager is locked by another program: nothing was done.";

}  // namespace

QString ApplicationTitle() { return QStringLiteral("TarvoServiceInstaller"); }

MessageBoxFunction& MessageBoxHook() {
  static MessageBoxFunction hook = [](const QString& title, const QString& text) {
    QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
  };
  return hook;
}

void ShowMessage(const QString& title, const QString& text) { MessageBoxHook()(title, text); }

frmServiceControl::frmServiceControl(const std::string& program_folder, QWidget* parent)
    : QMainWindow(parent),
      program_folder_(program_folder.empty() ? common::ExecutableFolder() : program_folder) {
  setObjectName("frmServiceControl");
  setWindowTitle("Tarvo Agent Service Install");

  agent_.service_name = kAgentServiceName;
  watchdog_.service_name = kWatchdogServiceName;
  static const char* const kAgentNames[9] = {"label1",      "lblAccount", "txtAccount",
                                             "lblPassword", "txtPassword", "chkSystem",
                                             "cmdInstall",  "cmdStart",   "lblPending"};
  static const char* const kWatchdogNames[9] = {"wd_servicefile", "lblAccount2", "Txtaccount2",
                                                "lblpassword2",   "txtPassword2", "ChkSystem2",
                                                "CMDInstall2",    "CMDStart2",    "lblPending2"};
  Frame1 = BuildFrame("Frame1", "Tarvo Agent Service", agent_, kAgentNames);
  Frame2 = BuildFrame("Frame2", "Tarvo WatchDog Service", watchdog_, kWatchdogNames);
  label1 = agent_.service_file;
  lblAccount = agent_.account_label;
  txtAccount = agent_.account;
  lblPassword = agent_.password_label;
  txtPassword = agent_.password;
  chkSystem = agent_.system_account;
  cmdInstall = agent_.install;
  cmdStart = agent_.start;
  lblPending = agent_.pending;
  wd_servicefile = watchdog_.service_file;
  lblAccount2 = watchdog_.account_label;
  Txtaccount2 = watchdog_.account;
  lblpassword2 = watchdog_.password_label;
  txtPassword2 = watchdog_.password;
  ChkSystem2 = watchdog_.system_account;
  CMDInstall2 = watchdog_.install;
  CMDStart2 = watchdog_.start;
  lblPending2 = watchdog_.pending;

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(Frame1);
  layout->addWidget(Frame2);
  setCentralWidget(central);
  setMinimumWidth(kMinimumWidth);

  FileMenu = Named<QMenu>("FileMenu", "File", this);
  ExitMenu = Named<QAction>("ExitMenu", "Exit", this);
  aboutMenu = Named<QAction>("aboutMenu", "About", this);
  FileMenu->addAction(ExitMenu);
  menuBar()->addMenu(FileMenu);
  menuBar()->addAction(aboutMenu);

  tmrCheck = Named<QTimer>("tmrCheck", this);
  tmrCheck->setInterval(kCheckIntervalMs);

  connect(cmdInstall, &QPushButton::clicked, this, &frmServiceControl::cmdInstall_Click);
  connect(CMDInstall2, &QPushButton::clicked, this, &frmServiceControl::CMDInstall2_Click);
  connect(cmdStart, &QPushButton::clicked, this, &frmServiceControl::cmdStart_Click);
  connect(CMDStart2, &QPushButton::clicked, this, &frmServiceControl::CMDStart2_Click);
  connect(chkSystem, &QCheckBox::clicked, this, &frmServiceControl::chkSystem_Click);
  connect(ChkSystem2, &QCheckBox::clicked, this, &frmServiceControl::ChkSystem2_Click);
  connect(tmrCheck, &QTimer::timeout, this, &frmServiceControl::tmrCheck_Timer);
  connect(ExitMenu, &QAction::triggered, this, &frmServiceControl::ExitMenu_Click);
  connect(aboutMenu, &QAction::triggered, this, &frmServiceControl::aboutMenu_Click);
}

frmServiceControl::~frmServiceControl() {
  // A call on its way ends first; its answer is never delivered.
  tmrCheck->stop();
  agent_.worker.reset();
  watchdog_.worker.reset();
}

QGroupBox* frmServiceControl::BuildFrame(const char* frame_name, const char* caption,
                                         ServiceFrame& frame, const char* const names[9]) {
  auto* box = Named<QGroupBox>(frame_name, caption);
  frame.service_file = Named<QLabel>(names[0]);
  frame.account_label = Named<QLabel>(names[1], "Account:");
  frame.account = Named<QLineEdit>(names[2]);
  frame.password_label = Named<QLabel>(names[3], "Password:");
  frame.password = Named<QLineEdit>(names[4]);
  frame.password->setEchoMode(QLineEdit::Password);
  frame.system_account = Named<QCheckBox>(names[5], "System Account");
  frame.system_account->setChecked(true);
  frame.install = Named<QPushButton>(names[6], "Install Service");
  frame.start = Named<QPushButton>(names[7], "Start Service");
  frame.pending = Named<QLabel>(names[8]);
  // No action before the first reading has shown what the service is.
  frame.install->setEnabled(false);
  frame.start->setEnabled(false);
  frame.service_file->setTextInteractionFlags(Qt::TextSelectableByMouse);
  frame.pending->setWordWrap(true);
  frame.worker = std::make_unique<ServiceWorker>();

  auto* grid = new QGridLayout(box);
  grid->addWidget(new QLabel("Service file:"), 0, 0);
  grid->addWidget(frame.service_file, 0, 1, 1, 2);
  grid->addWidget(frame.account_label, 1, 0);
  grid->addWidget(frame.account, 1, 1);
  grid->addWidget(frame.system_account, 1, 2);
  grid->addWidget(frame.password_label, 2, 0);
  grid->addWidget(frame.password, 2, 1);
  grid->addWidget(frame.install, 3, 1);
  grid->addWidget(frame.start, 3, 2);
  grid->addWidget(frame.pending, 4, 0, 1, 3);
  grid->setColumnStretch(1, 1);
  return box;
}

bool frmServiceControl::Form_Load() {
  // The programs beside this one, wherever TARVO_HOME puts the data files.
  const std::string folder = GetShortPath(program_folder_);
  label1->setText(FromLocal(folder + "/AgentTarvoService"));
  wd_servicefile->setText(FromLocal(folder + "/TarvoWDService"));
  if (!common::IsWindowsNT()) {
    ShowMessage(ApplicationTitle(), "This program requires Windows NT/2000/XP");
    close();
    return false;
  }
  SystemAccountClicked(agent_);
  SystemAccountClicked(watchdog_);
  RefreshFrame(agent_);
  RefreshFrame(watchdog_);
  tmrCheck->start();
  return true;
}

bool frmServiceControl::CallsPending() const {
  return agent_.acting || agent_.reading || watchdog_.acting || watchdog_.reading;
}

void frmServiceControl::SetAccountFieldsEnabled(ServiceFrame& frame, bool enabled) {
  frame.account->setEnabled(enabled);
  frame.password->setEnabled(enabled);
  frame.account_label->setEnabled(enabled);
  frame.password_label->setEnabled(enabled);
}

void frmServiceControl::RefreshFrame(ServiceFrame& frame) {
  // A refresh still on its way, or an action that reads the service when it
  // is done, will show the state soon enough.
  if (frame.acting || frame.reading) return;
  frame.reading = true;
  const std::string name = frame.service_name;
  frame.worker->Run<ServiceReading>([name] { return ReadService(name); }, this,
                                    [this, &frame](const ServiceReading& reading) {
                                      frame.reading = false;
                                      if (!frame.acting) ApplyReading(frame, reading);
                                    });
}

void frmServiceControl::ApplyReading(ServiceFrame& frame, const ServiceReading& reading) {
  frame.Installed = reading.Installed;
  if (!reading.Installed) {
    frame.install->setText("Install Service");
    SetAccountFieldsEnabled(frame, !frame.system_account->isChecked());
    frame.system_account->setEnabled(true);
    frame.start->setEnabled(false);
    frame.install->setEnabled(true);
    return;
  }
  // The account box shows the service's account, and "System Account" says
  // whether that is the system account, so that after an uninstall both still
  // agree on the account the next install uses.
  frame.account->setText(FromLocal(reading.Account));
  frame.system_account->setChecked(
      frame.account->text().compare("LocalSystem", Qt::CaseInsensitive) == 0);
  frame.install->setText("Uninstall Service");
  SetAccountFieldsEnabled(frame, false);
  frame.system_account->setEnabled(false);
  frame.LastState = reading.State;
  switch (frame.LastState) {
    case platform::SERVICE_STOPPED:
      frame.install->setEnabled(true);
      frame.start->setText("Start Service");
      frame.start->setEnabled(true);
      break;
    case platform::SERVICE_RUNNING:
      // A running service cannot be removed from here.
      frame.install->setEnabled(false);
      frame.start->setText("Stop Service");
      frame.start->setEnabled(true);
      break;
    default:  // pending, paused or unreadable: no action until it settles
      frame.install->setEnabled(false);
      frame.start->setEnabled(false);
      break;
  }
}

void frmServiceControl::SystemAccountClicked(ServiceFrame& frame) {
  const bool system = frame.system_account->isChecked();
  frame.account->setText(system ? QString("LocalSystem") : QString());
  SetAccountFieldsEnabled(frame, !system);
}

void frmServiceControl::Act(ServiceFrame& frame, const QString& doing,
                            std::function<ActionOutcome()> action) {
  frame.acting = true;
  frame.install->setEnabled(false);
  frame.start->setEnabled(false);
  frame.pending->setText(doing);
  frame.worker->Run<ActionOutcome>(std::move(action), this,
                                   [this, &frame](const ActionOutcome& outcome) {
                                     frame.acting = false;
                                     if (!outcome.account.empty()) {
                                       frame.account->setText(FromLocal(outcome.account));
                                     }
                                     ApplyReading(frame, outcome.reading);
                                     frame.pending->setText(
                                         outcome.error == platform::ERROR_SERVICE_DATABASE_LOCKED
                                             ? QString(kDatabaseLocked)
                                             : QString());
                                   });
}

// The button acts on the state the frame showed; the worker reads the service
// again first and does nothing when that state has changed meanwhile (the
// refresh that follows shows the new one).
void frmServiceControl::InstallClicked(ServiceFrame& frame) {
  if (frame.acting || !frame.install->isEnabled()) return;
  const bool uninstall = frame.Installed;
  const std::string name = frame.service_name;
  const std::string binary = ToLocal(frame.service_file->text());
  std::string account = ToLocal(frame.account->text());
  std::string password = ToLocal(frame.password->text());
  if (!uninstall) frame.password->clear();  // the password is never kept
  Act(frame, uninstall ? kUninstalling : kInstalling, [=]() mutable {
    ActionOutcome outcome;
    const ServiceReading before = ReadService(name);
    if (before.Installed == uninstall &&
        (!before.Installed || before.State == platform::SERVICE_STOPPED)) {
      if (uninstall) {
        outcome.error = UninstallService(name);
      } else {
        outcome.error = InstallService(name, binary, account, password);
        outcome.account = account;
      }
    }
    password.assign(password.size(), '\0');
    outcome.reading = ReadService(name);
    return outcome;
  });
}

void frmServiceControl::StartClicked(ServiceFrame& frame) {
  if (frame.acting || !frame.start->isEnabled()) return;
  const int32_t from = frame.LastState;
  if (from != platform::SERVICE_RUNNING && from != platform::SERVICE_STOPPED) return;
  const std::string name = frame.service_name;
  Act(frame, from == platform::SERVICE_RUNNING ? kStopping : kStarting, [name, from] {
    ActionOutcome outcome;
    const ServiceReading before = ReadService(name);
    if (before.Installed && before.State == from) {
      outcome.error = from == platform::SERVICE_RUNNING ? StopServiceByName(name)
                                                         : StartServiceByName(name);
    }
    outcome.reading = ReadService(name);
    return outcome;
  });
}

void frmServiceControl::cmdInstall_Click() { InstallClicked(agent_); }
void frmServiceControl::CMDInstall2_Click() { InstallClicked(watchdog_); }
void frmServiceControl::cmdStart_Click() { StartClicked(agent_); }
void frmServiceControl::CMDStart2_Click() { StartClicked(watchdog_); }
void frmServiceControl::chkSystem_Click() { SystemAccountClicked(agent_); }
void frmServiceControl::ChkSystem2_Click() { SystemAccountClicked(watchdog_); }

void frmServiceControl::tmrCheck_Timer() {
  RefreshFrame(agent_);
  RefreshFrame(watchdog_);
}

void frmServiceControl::ExitMenu_Click() {
  // The window goes at once; a service manager call still under way is then
  // waited for out of sight (a hung stop may take the manager's 30 seconds).
  tmrCheck->stop();
  hide();
  QApplication::processEvents();  // the window leaves the screen now
  QApplication::quit();
}

void frmServiceControl::aboutMenu_Click() {
  ShowMessage(ApplicationTitle(),
              QString("TarvoServiceInstaller - version %1\n"
                      "Tarvo Agent Service Install, part of the Tarvo Agent project.\n"
                      "See the project's README.md for how to install and run the services.")
                  .arg(common::kVersionText));
}

}  // namespace installer
