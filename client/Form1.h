#pragma once
// The client's main window: the agent's monitoring summary polled every five
// seconds, the central server's events fetched every ten, the menus, the tray
// icon and the start and exit sequences.

#include <QMainWindow>
#include <QPointer>

#include <string>
#include <vector>

#include "client/ClientWidgets.h"
#include "client/MessageWindow.h"
#include "client/ServerEvents.h"

class QAction;
class QGroupBox;
class QLineEdit;
class QMenu;
class QTcpSocket;
class QTimer;

namespace client {


class Form1 : public QMainWindow {
  Q_OBJECT

 public:
  explicit Form1(QWidget* parent = nullptr);
  ~Form1() override;

  // The start-up sequence: loads the configuration, hooks the tray clicks,
  // adds the tray icon, hides the window (when the desktop has a tray) and
  // lets the message window peek out. Starts both timers.
  void Form_Load();

  // The message window, loaded from the event file on first use.
  MessageWindow* Messages();
  // The message window when it is loaded, else null.
  MessageWindow* LoadedMessages() const { return message_window_; }

  // The window's icon, also the tray icon's usual face.
  static QIcon Icon();

  // The text received from the agent since the current connection was
  // established, and the request waiting for the next connection.
  const std::string& AgentReplyText() const { return AgentReply.Text(); }
  const std::string& PendingCommandText() const { return PendingCommand; }

  // The steps with pauses (slides, start-up, exit) and the tray alerts.
  StepQueue& Waits() { return *waits_; }
  StepQueue& Alerts() { return *alerts_; }

  // One new-event alert, however many events are new: the tray icon changes
  // its face in place and the bell rings. Left out when an alert is still
  // under way (the next check repeats it); a check that finds nothing new
  // (count 0) ends the alert under way.
  void AlertNewEvents(int count);
  // Ends the alert under way at once (the message window's "X").
  void EndAlert();

 public slots:
  void Timer2_Timer();
  void Timer1_Timer();
  void Winsock1_Connect();
  void Winsock1_DataArrival();
  void Winsock2_Connect();
  void Winsock2_DataArrival();
  void Winsock2_Close();

  void TaskMenu_Click();
  void Config_Click();
  void MenuMessages1_Click();
  void SendToTray_Click();
  void ExitItemMenu_Click();
  void AboutMenu_Click();
  void ShowMessages_Click();
  void showform_Click();
  void TrayMenuExit_Click();

 protected:
  // Closing the window runs the exit sequence.
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void BuildMenus();
  void BuildRows();
  void ExitSequence();

  QGroupBox* Frame1;
  std::vector<QLineEdit*> filled_boxes_;
  std::vector<std::string> filled_keys_;
  QLineEdit* StatusBar1;

  QMenu* FileMenu;
  QAction* TaskMenu;
  QAction* Config;
  QAction* MenuMessages1;
  QAction* SendToTray;
  QAction* ExitItemMenu;
  QAction* AboutMenu;
  QMenu* TrayMenu;
  QAction* ShowMessages;
  QAction* showform;
  QAction* TrayMenuExit;

  QTimer* Timer1;
  QTimer* Timer2;
  QTcpSocket* Winsock1;
  QTcpSocket* Winsock2;

  std::string PendingCommand;
  BoundedResponse AgentReply;
  BoundedResponse events_response_;

  StepQueue* waits_;
  StepQueue* alerts_;
  QPointer<MessageWindow> message_window_;
  bool exiting_ = false;
};

}  // namespace client
