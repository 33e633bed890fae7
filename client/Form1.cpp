#include "client/Form1.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>
#include <QVBoxLayout>

#include <cstring>

#include "client/AgentPolling.h"
#include "client/MessageWindow.h"
#include "client/ServerEvents.h"
#include "client/Tray.h"
#include "common/AgentConfig.h"
#include "common/ProgramFolder.h"
#include "common/TarvoVersion.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/FileAccess.h"

namespace client {
namespace {

constexpr int kPollIntervalMs = 5000;
constexpr int kFetchIntervalMs = 10000;
constexpr int kStartPeekDelayMs = 400;
constexpr int kPeekMs = 1000;
constexpr int kExitPauseMs = 800;
constexpr int kTrayExitPauseMs = 400;
constexpr int kAlertFirstPauseMs = 100;
constexpr int kAlertSecondPauseMs = 400;

const char* const kStartTip = "GUI Client for Tarvo Agent";
const char* const kAlertTip = "Tarvo Agent Grafic User Interface";
const std::string kAboutText =
    std::string("TarvoAgentCliente - version ") + common::kVersionText +
    "\n"
    "GUI Client for Tarvo Agent\n\n"
    "Desktop client of the Tarvo Agent host-monitoring suite.\n"
    "Written by the Tarvo Agent project.";

// A peer that keeps sending cannot make the client hold more than the bound:
// past it, the answer is dropped whole.
void AppendReceived(BoundedResponse& response, QTcpSocket* socket) {
  if (!socket->isOpen()) return;
  const QByteArray bytes = socket->readAll();
  response.Append(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

QAction* NamedAction(const char* name, const char* caption, QObject* parent) {
  auto* action = new QAction(QString::fromLatin1(caption), parent);
  action->setObjectName(QString::fromLatin1(name));
  return action;
}

}  // namespace

Form1::Form1(QWidget* parent)
    : QMainWindow(parent),
      Timer1(Named<QTimer>("Timer1", this)),
      Timer2(Named<QTimer>("Timer2", this)),
      Winsock1(Named<QTcpSocket>("Winsock1", this)),
      Winsock2(Named<QTcpSocket>("Winsock2", this)),
      waits_(new StepQueue(this)),
      alerts_(new StepQueue(this)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tarvo Agent"));
  setWindowIcon(Icon());
  QPalette grey = palette();
  grey.setColor(QPalette::Window, QColor(212, 208, 200));
  setPalette(grey);
  setAutoFillBackground(true);

  BuildRows();
  BuildMenus();

  Timer1->setInterval(kFetchIntervalMs);
  Timer2->setInterval(kPollIntervalMs);
  connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
  connect(Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
  connect(Winsock1, &QTcpSocket::connected, this, &Form1::Winsock1_Connect);
  connect(Winsock1, &QTcpSocket::readyRead, this, &Form1::Winsock1_DataArrival);
  connect(Winsock2, &QTcpSocket::connected, this, &Form1::Winsock2_Connect);
  connect(Winsock2, &QTcpSocket::readyRead, this, &Form1::Winsock2_DataArrival);
  connect(Winsock2, &QTcpSocket::disconnected, this, &Form1::Winsock2_Close);
}

Form1::~Form1() {
  // Going away is not the server closing the fetch: nothing more is handled.
  Winsock1->blockSignals(true);
  Winsock2->blockSignals(true);
  delete message_window_;
}

void Form1::BuildRows() {
  Frame1 = Named<QGroupBox>("Frame1", QStringLiteral("Frame1"));
  Frame1->setStyleSheet(QStringLiteral("QLineEdit { background-color: rgb(255, 255, 192); }"));
  auto* grid = new QGridLayout(Frame1);
  grid->setVerticalSpacing(2);
  int row_number = 0;
  for (const Form1Row& row : Form1Rows()) {
    auto* caption = new QLabel(QString::fromLatin1(row.Caption));
    caption->setObjectName(QStringLiteral("Caption_%1").arg(row_number));
    auto* box = Named<QLineEdit>(row.Box, QString::fromLatin1(row.InitialText));
    box->setMinimumWidth(150);
    auto* unit = new QLabel(QString::fromLatin1(row.Unit));
    unit->setObjectName(QStringLiteral("Unit_%1").arg(row_number));
    grid->addWidget(caption, row_number, 0);
    grid->addWidget(box, row_number, 1);
    grid->addWidget(unit, row_number, 2);
    if (*row.Key != '\0') {
      filled_boxes_.push_back(box);
      filled_keys_.emplace_back(row.Key);
    }
    ++row_number;
  }
  StatusBar1 = Named<QLineEdit>("StatusBar1");
  StatusBar1->setReadOnly(true);

  auto* central = new QWidget;
  auto* column = new QVBoxLayout(central);
  column->addWidget(Frame1);
  column->addWidget(StatusBar1);
  setCentralWidget(central);
}

void Form1::BuildMenus() {
  FileMenu = Named<QMenu>("FileMenu", QStringLiteral("File"), this);
  TaskMenu = NamedAction("TaskMenu", "Tasks", this);
  Config = NamedAction("Config", "Config", this);
  MenuMessages1 = NamedAction("MenuMessages1", "Messages", this);
  SendToTray = NamedAction("SendToTray", "Hide", this);
  ExitItemMenu = NamedAction("ExitItemMenu", "Exit", this);
  FileMenu->addActions({TaskMenu, Config, MenuMessages1, SendToTray, ExitItemMenu});
  menuBar()->addMenu(FileMenu);
  AboutMenu = NamedAction("AboutMenu", "About", this);
  menuBar()->addAction(AboutMenu);

  TrayMenu = Named<QMenu>("TrayMenu", QStringLiteral("TrayMenu"), this);
  ShowMessages = NamedAction("ShowMessages", "Messages", this);
  showform = NamedAction("showform", "Show", this);
  TrayMenuExit = NamedAction("TrayMenuExit", "Exit Program", this);
  TrayMenu->addActions({ShowMessages, showform, TrayMenuExit});

  connect(TaskMenu, &QAction::triggered, this, &Form1::TaskMenu_Click);
  connect(Config, &QAction::triggered, this, &Form1::Config_Click);
  connect(MenuMessages1, &QAction::triggered, this, &Form1::MenuMessages1_Click);
  connect(SendToTray, &QAction::triggered, this, &Form1::SendToTray_Click);
  connect(ExitItemMenu, &QAction::triggered, this, &Form1::ExitItemMenu_Click);
  connect(AboutMenu, &QAction::triggered, this, &Form1::AboutMenu_Click);
  connect(ShowMessages, &QAction::triggered, this, &Form1::ShowMessages_Click);
  connect(showform, &QAction::triggered, this, &Form1::showform_Click);
  connect(TrayMenuExit, &QAction::triggered, this, &Form1::TrayMenuExit_Click);
}

QIcon Form1::Icon() {
  static const QIcon* const icon = new QIcon(MakeIcon(QColor(0, 84, 147), QStringLiteral("T"), false));
  return *icon;
}

void Form1::Form_Load() {
  common::LoadAgentConfig();
  HookWindow(this);
  TrayIconAdd(this, Icon(), QString::fromLatin1(kStartTip));
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    hide();
  } else {
    // Without a notification area the tray menu's items live in "File", and
    // the window stays shown so nothing becomes unreachable.
    FileMenu->addSeparator();
    FileMenu->addActions(TrayMenu->actions());
    show();
  }
  Timer1->start();
  Timer2->start();
  // The first poll at once, so the values come one period after start.
  QTimer::singleShot(0, this, &Form1::Timer2_Timer);

  waits_->Pause(kStartPeekDelayMs);
  MessageWindow* messages = Messages();
  messages->SlideInMessageWindow();
  waits_->Pause(kPeekMs);
  messages->SlideOutMessageWindow();
}

MessageWindow* Form1::Messages() {
  if (message_window_ == nullptr) message_window_ = new MessageWindow(this);
  return message_window_;
}

void Form1::Timer2_Timer() {
  Winsock1->abort();
  bool failed = false;
  if (AgentReply.Overflowed() || !AgentReply.Text().empty()) {
    // A reply cut at the bound is no reply: every box is emptied.
    const auto values =
        AgentReply.Overflowed() ? std::nullopt : ValuesFromReply(AgentReply.Text(), filled_keys_);
    failed = !values.has_value();
    for (size_t k = 0; k < filled_boxes_.size(); ++k) {
      filled_boxes_[k]->setText(failed ? QString() : TextFromBytes((*values)[k]));
    }
  }
  // A reply that failed still leads to a new connection, so a later good reply
  // can repair the boxes.
  if (Winsock1->state() == QAbstractSocket::UnconnectedState) {
    const common::AgentConfig& config = common::TheAgentConfig();
    Winsock1->connectToHost(TextFromBytes(config.TargetAgent), static_cast<quint16>(config.Port));
    PendingCommand = kResumeMonRequest;
  }
  const std::string now = common::GeneralDateTextNow();
  StatusBar1->setText(
      TextFromBytes(failed ? FailedStatusText(now)
                           : RefreshStatusText(now, common::TheAgentConfig().TargetAgent)));
}

void Form1::Winsock1_Connect() {
  if (!PendingCommand.empty()) {
    Winsock1->write(PendingCommand.data(), static_cast<qint64>(PendingCommand.size()));
  }
  PendingCommand.clear();
  AgentReply.Clear();
}

void Form1::Winsock1_DataArrival() { AppendReceived(AgentReply, Winsock1); }

void Form1::Timer1_Timer() {
  {
    // Our own close abandons the fetch; it is not the server's close.
    const QSignalBlocker quiet(Winsock2);
    Winsock2->abort();
  }
  events_response_.Clear();
  const std::string& server = common::TheAgentConfig().CentralServer;
  if (!server.empty() && Winsock2->state() == QAbstractSocket::UnconnectedState) {
    const HostAndPort address = SplitHostAndPort(server, 80);
    Winsock2->connectToHost(TextFromBytes(address.Host), address.Port);
  }
  Messages()->EventCompare();
}

void Form1::Winsock2_Connect() {
  events_response_.Clear();
  Winsock2->write(kEventsRequest.data(), static_cast<qint64>(kEventsRequest.size()));
}

void Form1::Winsock2_DataArrival() {
  if (Winsock2->state() == QAbstractSocket::ConnectedState) AppendReceived(events_response_, Winsock2);
}

void Form1::Winsock2_Close() {
  AppendReceived(events_response_, Winsock2);
  if (events_response_.Overflowed()) {
    // Part of a list is no list: the file keeps the events it has.
    common::LogFailure("The central server's answer passed " + std::to_string(kMaxResponseBytes) +
                           " bytes and was dropped; " + std::string(kEventsFileName) +
                           " was left as it was",
                       " Winsock2_Close Func ");
  } else if (const auto bytes = EventFileBytes(events_response_.Text())) {
    // A user who may not write the program folder (an installed package run
    // from a desktop session) learns why no event ever shows.
    const std::string path = common::ProgramPath(kEventsFileName);
    if (const int error = platform::WriteFileAtomic(path, *bytes, false)) {
      common::LogFailure(path + " could not be written: " + std::strerror(error),
                         " Winsock2_Close Func ");
    }
  }
  events_response_.Clear();
}

void Form1::AlertNewEvents(int count) {
  if (count <= 0) {
    EndAlert();
    return;
  }
  if (exiting_ || !alerts_->Idle()) return;
  // The face changes in place: removing and adding the icon would leave an
  // empty slot in the tray each time and close any menu open over it.
  const QString tip = QString::fromLatin1(kAlertTip);
  auto show_face = [this, tip](const QIcon& icon) {
    if (!exiting_) TrayIconModify(icon, tip);
  };
  alerts_->Append([show_face] { show_face(MessageWindow::Icon()); }, kAlertFirstPauseMs);
  alerts_->Append([show_face] { show_face(Icon()); }, kAlertSecondPauseMs);
  alerts_->Append([this, show_face] {
    show_face(MessageWindow::Icon());
    if (!exiting_) Beep();
  });
}

void Form1::EndAlert() {
  alerts_->Clear();
}

void Form1::MenuMessages1_Click() { Messages()->SlideInMessageWindow(); }

void Form1::ShowMessages_Click() {
  MessageWindow* messages = Messages();
  messages->SlideInMessageWindow();
  waits_->Pause(kPeekMs);
  messages->SlideOutMessageWindow();
}

void Form1::SendToTray_Click() {
  // Without a notification area a hidden window could never be reached again.
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    hide();
  } else {
    showMinimized();
  }
}

void Form1::showform_Click() {
  // A window that "Hide" minimised (no tray) comes back as it was.
  if (isMinimized()) {
    showNormal();
  } else {
    show();
  }
}

void Form1::AboutMenu_Click() { ShowMessage(this, QString::fromLatin1(kAboutText.c_str())); }

void Form1::ExitItemMenu_Click() {
  if (exiting_) return;
  exiting_ = true;
  ExitSequence();
}

void Form1::TrayMenuExit_Click() {
  if (exiting_) return;
  exiting_ = true;
  waits_->Append(
      [this] {
        UnhookWindow();
        show();
        TrayIconRemove();
        repaint();
      },
      kTrayExitPauseMs);
  waits_->Append([this] {
    hide();
    ExitSequence();
  });
}

void Form1::ExitSequence() {
  waits_->Append(
      [this] {
        if (message_window_ != nullptr) {
          message_window_->hide();
          HideTitleBar(message_window_);
        }
        UnhookWindow();
        show();
        TrayIconRemove();
        repaint();
      },
      kExitPauseMs);
  waits_->Append([this] {
    hide();
    Timer1->stop();
    Timer2->stop();
    Winsock1->abort();
    const QSignalBlocker quiet(Winsock2);
    Winsock2->abort();
    QCoreApplication::exit(0);
  });
}

void Form1::closeEvent(QCloseEvent* event) {
  event->ignore();
  ExitItemMenu_Click();
}

void Form1::mousePressEvent(QMouseEvent* event) {
  Beep();
  QMainWindow::mousePressEvent(event);
}

}  // namespace client
