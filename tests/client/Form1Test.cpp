// The main window against the real agent service and against fake agents:
// the poll tick, the boxes and the status line, the tray menu and the exit.

#include "client/Form1.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>

#include <regex>

#include "client/AgentPolling.h"
#include "client/Tray.h"
#include "tests/client/ClientTestSupport.h"
#include "tests/client/FakePeer.h"
#include "tests/e2e/AgentInstall.h"

namespace client {
namespace {

using clienttest::Control;
using clienttest::FakePeer;
using clienttest::WaitFor;

std::vector<std::string> FilledKeys() {
  std::vector<std::string> keys;
  for (const Form1Row& row : Form1Rows()) {
    if (*row.Key != '\0') keys.emplace_back(row.Key);
  }
  return keys;
}

// The text of every box of the window, in row order.
std::vector<std::string> BoxTexts(const Form1& form) {
  std::vector<std::string> texts;
  for (const Form1Row& row : Form1Rows()) {
    texts.push_back(Control<QLineEdit>(form, row.Box)->text().toStdString());
  }
  return texts;
}

std::string Status(const Form1& form) {
  return Control<QLineEdit>(form, "StatusBar1")->text().toStdString();
}

bool ReplyComplete(const std::string& reply) {
  const size_t last = reply.find("CMD3=");
  return last != std::string::npos && reply.find("\r\n", last) != std::string::npos;
}

TEST(Form1AgentTest, ShowsTheRunningAgentsSummaryAndKeepsItWhenTheAgentStops) {
  e2e::AgentInstall install;
  install.WriteConfig({"TARGETTARVOAGENT=127.0.0.1", "PERIODOBASE=100"});
  testsupport::ScopedEnv home("TARVO_HOME", install.folder());
  common::LoadAgentConfig();
  ASSERT_GT(install.StartAgentService(), 0);

  Form1 form;
  form.Timer2_Timer();
  ASSERT_TRUE(WaitFor([&] { return ReplyComplete(form.AgentReplyText()); }));
  const std::string reply = form.AgentReplyText();
  form.Timer2_Timer();

  const auto values = ValuesFromReply(reply, FilledKeys());
  ASSERT_TRUE(values.has_value()) << reply;
  size_t filled = 0;
  for (const Form1Row& row : Form1Rows()) {
    const std::string text = Control<QLineEdit>(form, row.Box)->text().toStdString();
    if (*row.Key == '\0') {
      EXPECT_EQ(text, "") << row.Box;
    } else {
      EXPECT_EQ(text, (*values)[filled++]) << row.Box;
    }
  }
  EXPECT_GT(std::stoi(Control<QLineEdit>(form, "ThreadsF")->text().toStdString()), 0);
  EXPECT_TRUE(std::regex_match(Status(form), std::regex(R"(Refresh time:   \S.*\S    \(127\.0\.0\.1\))")))
      << Status(form);

  // The agent stops: the boxes keep the last reply, the status line goes on.
  ASSERT_EQ(install.Sc({"stop", e2e::kAgentService}).exit_code, 0);
  ASSERT_TRUE(install.WaitForState(e2e::kAgentService, 1));
  form.Timer2_Timer();
  const std::vector<std::string> kept = BoxTexts(form);
  auto* socket = Control<QTcpSocket>(form, "Winsock1");
  ASSERT_TRUE(WaitFor([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
  Control<QLineEdit>(form, "StatusBar1")->clear();
  form.Timer2_Timer();
  EXPECT_EQ(BoxTexts(form), kept);
  EXPECT_TRUE(Status(form).ends_with("    (127.0.0.1)")) << Status(form);
}

class Form1Test : public clienttest::ClientTest {};

// A full summary with made-up values; CPU1 is 5.
std::string MadeUpReply() {
  std::string reply(1, '\0');
  int k = 0;
  for (const std::string& key : FilledKeys()) {
    reply += key + (key == "CPU1=" ? "5" : "v" + std::to_string(++k)) + "\r\n";
  }
  return reply;
}

TEST_F(Form1Test, SendsTheRequestOnEveryTickAndJoinsAReplyThatComesInPieces) {
  const std::string reply = MadeUpReply();
  const size_t cut = reply.find("THREADS=") + 3;
  FakePeer agent([&](QTcpSocket* socket, const QByteArray& got) {
    if (!got.endsWith('\r')) return;
    socket->write(reply.substr(0, cut).c_str(), static_cast<qint64>(cut));
    socket->flush();
    const std::string rest = reply.substr(cut);
    QTimer::singleShot(300, socket, [socket, rest] { socket->write(rest.data(), rest.size()); });
  });
  Configure({"PORT=" + std::to_string(agent.port()), "TARGETTARVOAGENT=127.0.0.1"});

  Form1 form;
  form.Timer2_Timer();
  ASSERT_TRUE(WaitFor([&] { return form.AgentReplyText() == reply; }));
  form.Timer2_Timer();
  EXPECT_EQ(Control<QLineEdit>(form, "Processor0F")->text(), "5");
  EXPECT_EQ(Control<QLineEdit>(form, "ThreadsF")->text(), "v8");
  EXPECT_EQ(Control<QLineEdit>(form, "Command3F")->text(), "v18");
  ASSERT_TRUE(WaitFor([&] { return agent.received().size() == 2 && !agent.received()[1].isEmpty(); }));
  EXPECT_EQ(agent.received()[0], QByteArray("RESUMEMON\n\r"));
  EXPECT_EQ(agent.received()[1], QByteArray("RESUMEMON\n\r"));
}

TEST_F(Form1Test, AReplyWithoutThreadsEmptiesEveryBoxAndMarksTheStatusLine) {
  bool whole = true;
  FakePeer agent([&](QTcpSocket* socket, const QByteArray& got) {
    if (!got.endsWith('\r')) return;
    std::string reply = MadeUpReply();
    if (!whole) reply.erase(reply.find("THREADS="), 8);
    socket->write(reply.data(), static_cast<qint64>(reply.size()));
  });
  Configure({"PORT=" + std::to_string(agent.port()), "TARGETTARVOAGENT=127.0.0.1"});

  Form1 form;
  form.Timer2_Timer();
  ASSERT_TRUE(WaitFor([&] { return ReplyComplete(form.AgentReplyText()); }));
  whole = false;
  form.Timer2_Timer();
  ASSERT_EQ(Control<QLineEdit>(form, "Processor0F")->text(), "5");
  ASSERT_TRUE(WaitFor([&] {
    return ReplyComplete(form.AgentReplyText()) &&
           form.AgentReplyText().find("THREADS=") == std::string::npos;
  }));
  form.Timer2_Timer();
  for (const std::string& text : BoxTexts(form)) EXPECT_EQ(text, "");
  EXPECT_TRUE(std::regex_match(Status(form), std::regex(R"(Refresh time:   \S.*\S !)"))) << Status(form);
  // The failed tick still asks again, so a good reply repairs the window.
  EXPECT_EQ(form.PendingCommandText(), "RESUMEMON\n\r");
}

TEST_F(Form1Test, TrayClicksOpenTheMenuOnlyWhileHooked) {
  Configure({"PORT=1"});
  Form1 form;
  TrayIconAdd(&form, Form1::Icon(), QStringLiteral("GUI Client for Tarvo Agent"));
  auto* menu = Control<QMenu>(form, "TrayMenu");

  HookWindow(&form);
  HookWindow(&form);
  UnhookWindow();
  EXPECT_FALSE(WindowHooked());
  emit TrayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(menu->isVisible());

  HookWindow(&form);
  emit TrayIcon()->activated(QSystemTrayIcon::Context);
  emit TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_FALSE(menu->isVisible());
  emit TrayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(menu->isVisible());
  menu->hide();
  Control<QAction>(form, "showform")->trigger();
  EXPECT_TRUE(form.isVisible());
  UnhookWindow();

  // A press on the window's background beeps.
  const int beeps = BeepCount();
  QTest::mouseClick(&form, Qt::LeftButton, {}, QPoint(2, form.height() - 2));
  EXPECT_EQ(BeepCount(), beeps + 1);
}

// Without a notification area a hidden window could never be shown again:
// "Hide" minimises it instead, so it stays on the desktop's task list.
TEST_F(Form1Test, HideWithoutATrayMinimisesTheWindow) {
  if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "this desktop has a tray";
  Configure({"PORT=1", "TARVOSERVER="});
  Form1 form;
  form.Form_Load();
  ASSERT_TRUE(form.isVisible());
  Control<QAction>(form, "SendToTray")->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.isMinimized());
  Control<QAction>(form, "showform")->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
}

TEST(HideTitleBarTest, KeepsTheOuterRectangleAndTheCaptionInTheTag) {
  QWidget window;
  window.setWindowTitle(QStringLiteral("Message  Window"));
  window.setGeometry(100, 100, 300, 200);
  window.show();
  const QRect outer = window.frameGeometry();
  HideTitleBar(&window);
  EXPECT_EQ(window.frameGeometry().size(), outer.size());
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.windowTitle(), QString());
  EXPECT_EQ(window.property("tag").toString(), QStringLiteral("Message  Window"));
}

TEST_F(Form1Test, ExitRemovesTheTrayIconAndEndsTheEventLoop) {
  Configure({"PORT=1", "TARVOSERVER="});
  Form1 form;
  form.Form_Load();
  ASSERT_NE(TrayIcon(), nullptr);
  // Without a notification area the tray menu's items are in "File".
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    EXPECT_TRUE(Control<QMenu>(form, "FileMenu")->actions().contains(
        Control<QAction>(form, "TrayMenuExit")));
  }
  QTimer::singleShot(0, &form, [&] { Control<QAction>(form, "TrayMenuExit")->trigger(); });
  QTimer failsafe;
  failsafe.setSingleShot(true);
  QObject::connect(&failsafe, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  failsafe.start(60000);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(TrayIcon()->isVisible());
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(Control<QTimer>(form, "Timer2")->isActive());
  EXPECT_FALSE(WindowHooked());
}

}  // namespace
}  // namespace client
