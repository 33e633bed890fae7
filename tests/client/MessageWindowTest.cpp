// The event fetch against a fake central server, the message window built
// from the event file, and the new-event alert.

#include "client/MessageWindow.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>
#include <QToolTip>

#include "client/Form1.h"
#include "client/Tray.h"
#include "tests/client/ClientTestSupport.h"
#include "tests/client/FakePeer.h"

namespace client {
namespace {

using clienttest::Control;
using clienttest::FakePeer;
using clienttest::WaitFor;
using testsupport::ReadAll;

// Takes the links the desktop would open in the browser.
class LinkCatcher : public QObject {
  Q_OBJECT
 public:
  QUrl opened;
 public slots:
  void Open(const QUrl& url) { opened = url; }
};

constexpr const char* kHeader = "HTTP/1.0 200 OK\r\nServer: fake\r\nContent-Type: text/html\r\n\r\n";

class MessageWindowTest : public clienttest::ClientTest {
 protected:
  std::string EventsFile() const { return home_.Path("ServerEvents.txt"); }

  // Runs a fetch tick once the alerts of the last one are over.
  void Tick(Form1& form) {
    ASSERT_TRUE(WaitFor([&] { return form.Alerts().Idle(); }));
    form.Timer1_Timer();
  }
  // Fetches until the file holds the bytes.
  void FetchUntil(Form1& form, const std::string& bytes) {
    Tick(form);
    ASSERT_TRUE(WaitFor([&] { return ReadAll(EventsFile()) == bytes; })) << ReadAll(EventsFile());
  }
  // Closes the window with "X" and waits until it is unloaded.
  void CloseWithX(Form1& form) {
    form.Messages()->CloseLBL_Click();
    ASSERT_TRUE(WaitFor([&] { return form.LoadedMessages() == nullptr; }));
  }
  QColor Colour(const QObject& window, const char* name) {
    return Control<QLabel>(window, name)->palette().color(QPalette::Window);
  }
};

TEST_F(MessageWindowTest, FetchedEventsAreShownAndANewLineAlertsUntilTheWindowIsClosed) {
  std::string body =
      "1|MONITOR|12/07/2026 10:00:00|srv1|ACME|disk full\n"
      "2|LOGIN|12/07/2026 10:05:00|srv2|Beta|login failed\n";
  FakePeer server([&](QTcpSocket* socket, const QByteArray& got) {
    if (!got.endsWith("\n\n")) return;
    socket->write((kHeader + body).c_str());
    socket->disconnectFromHost();
  });
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  Configure({"PORT=1", "TARVOSERVER=" + address});
  Form1 form;
  TrayIconAdd(&form, Form1::Icon(), QStringLiteral("GUI Client for Tarvo Agent"));

  FetchUntil(form,
             "1|MONITOR|12/07/2026 10:00:00|srv1|ACME|disk full\r\n"
             "2|LOGIN|12/07/2026 10:05:00|srv2|Beta|login failed\r\n");
  EXPECT_EQ(server.received()[0], QByteArray("get /console/ag_events_lst.php HTTP/1.0\n\n"));

  // The window loaded before the file existed; loaded again, it shows both rows.
  CloseWithX(form);
  MessageWindow* window = form.Messages();
  EXPECT_EQ(window->RowCount(), 2);
  EXPECT_EQ(Control<QLabel>(*window, "Tipo_0")->text(), "MONITOR");
  EXPECT_EQ(Control<QLabel>(*window, "Maquina_1")->text(), "srv2");
  EXPECT_EQ(Control<QLabel>(*window, "Cliente_1")->text(), "Beta");
  EXPECT_EQ(Control<QLabel>(*window, "Data_1")->text(), "12/07/2026 10:05:00");
  EXPECT_EQ(Control<QLabel>(*window, "OpenURL_1")->toolTip().toStdString(),
            "http://" + address + "/console/redir-ev.php?id=2&tipo=LOGIN");
  EXPECT_EQ(Colour(*window, "Descr_0"), QColor(192, 255, 255));
  EXPECT_EQ(Colour(*window, "Cliente_1"), QColor(255, 192, 192));
  LinkCatcher browser;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "Open");
  window->OpenURL_Click(1);
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  EXPECT_EQ(browser.opened.toString().toStdString(),
            "http://" + address + "/console/redir-ev.php?id=2&tipo=LOGIN");
  QString detail;
  SetMessageSink([&](const QString& text) { detail = text; });
  window->Descr_Click(1);
  SetMessageSink({});
  EXPECT_EQ(detail, QString::fromUtf8("Descrição:login failed\nCliente  :Beta\nMaquina  :srv2\nTipo     :LOGIN"));

  // A new description alone raises no alert.
  const int beeps = BeepCount();
  body = "1|MONITOR|12/07/2026 10:00:00|srv1|ACME|disk nearly full\n"
         "2|LOGIN|12/07/2026 10:05:00|srv2|Beta|login failed\n";
  FetchUntil(form,
             "1|MONITOR|12/07/2026 10:00:00|srv1|ACME|disk nearly full\r\n"
             "2|LOGIN|12/07/2026 10:05:00|srv2|Beta|login failed\r\n");
  Tick(form);
  ASSERT_TRUE(WaitFor([&] { return form.Alerts().Idle(); }));
  EXPECT_EQ(BeepCount(), beeps);

  // An appended line alerts at every check: the tray icon takes the message
  // window's face and the bell rings.
  body += "3|MONITOR|12/07/2026 10:09:00|srv3|Gamma|cpu high\n";
  FetchUntil(form, ReadAll(EventsFile()) + "3|MONITOR|12/07/2026 10:09:00|srv3|Gamma|cpu high\r\n");
  Tick(form);
  ASSERT_TRUE(WaitFor([&] { return BeepCount() == beeps + 1 && form.Alerts().Idle(); }));
  EXPECT_EQ(TrayIconShown().cacheKey(), MessageWindow::Icon().cacheKey());
  EXPECT_EQ(TrayIcon()->toolTip(), "Tarvo Agent Grafic User Interface");
  Tick(form);
  ASSERT_TRUE(WaitFor([&] { return BeepCount() == beeps + 2 && form.Alerts().Idle(); }));

  // "X" unloads the window; its next load shows the file, and the alerts stop.
  CloseWithX(form);
  Tick(form);
  EXPECT_EQ(form.Messages()->RowCount(), 3);
  ASSERT_TRUE(WaitFor([&] { return form.Alerts().Idle(); }));
  EXPECT_EQ(BeepCount(), beeps + 2);
}

TEST_F(MessageWindowTest, GrowsAfterTheTenthRowAndShowsAtMostOneHundred) {
  Configure({"PORT=1"});
  auto write_events = [&](int count) {
    std::string text;
    for (int k = 0; k < count; ++k) text += std::to_string(k) + "|LOGIN|12/07/2026|m|c|d\r\n";
    testsupport::WriteAll(EventsFile(), text);
  };
  Form1 form;
  write_events(11);
  EXPECT_EQ(form.Messages()->HeightTwips(), kMessageWindowHeight);
  CloseWithX(form);

  write_events(12);
  MessageWindow* window = form.Messages();
  EXPECT_EQ(window->HeightTwips(), kMessageWindowHeight + kRowHeight + kRowGap);
  EXPECT_EQ(window->height(), TwipsToPixels(kMessageWindowHeight + kRowHeight + kRowGap));
  EXPECT_EQ(Control<QLabel>(*window, "Data_11")->geometry().top(),
            TwipsToPixels(kFirstRowTop + 11 * (kRowHeight + kRowGap)));
  CloseWithX(form);

  write_events(101);
  window = form.Messages();
  EXPECT_EQ(window->RowCount(), 100);
  EXPECT_NE(window->findChild<QLabel*>("Tipo_99"), nullptr);
  EXPECT_EQ(window->findChild<QLabel*>("Tipo_100"), nullptr);
}

TEST_F(MessageWindowTest, AServerThatNeverAnswersDoesNotHoldTheWindowUp) {
  FakePeer mute([](QTcpSocket*, const QByteArray&) {});
  Configure({"PORT=1", "TARVOSERVER=127.0.0.1:" + std::to_string(mute.port())});
  Form1 form;
  int beats = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++beats; });
  heartbeat.start(10);

  form.Timer1_Timer();
  Control<QAction>(form, "ShowMessages")->trigger();
  ASSERT_TRUE(WaitFor([&] { return !mute.received().empty() && !mute.received()[0].isEmpty(); }));
  const int beats_while_waiting = beats;
  form.Timer1_Timer();  // abandons the unanswered fetch and starts another
  ASSERT_TRUE(WaitFor([&] { return form.Waits().Idle(); }));
  EXPECT_GT(beats, beats_while_waiting);
  EXPECT_GT(beats, 10);
  EXPECT_FALSE(form.Messages()->isVisible());
  EXPECT_FALSE(std::filesystem::exists(EventsFile()));
}

// Events of a list however long alert once per check: the tray icon changes
// its face in place (it is never taken out of the tray, so it keeps its slot
// and a menu open over it stays open); "X" and a check that finds nothing new
// end the alert under way at once.
TEST_F(MessageWindowTest, OneAlertAtATimeInPlaceUntilXOrNothingNew) {
  Configure({"PORT=1"});
  std::string lines;
  for (int k = 0; k < 40; ++k) lines += std::to_string(k) + "|LOGIN|12/07/2026|m|c|d\r\n";
  Form1 form;
  TrayIconAdd(&form, Form1::Icon(), QStringLiteral("GUI Client for Tarvo Agent"));
  auto* menu = Control<QMenu>(form, "TrayMenu");
  menu->popup(QPoint(10, 10));
  ASSERT_TRUE(menu->isVisible());
  form.Messages();  // loaded while the file did not exist: one design row
  testsupport::WriteAll(EventsFile(), lines);
  const int adds = TrayIconAdds();
  const int faces = TrayIconFaceChanges();
  const int beeps = BeepCount();

  form.Timer1_Timer();
  ASSERT_TRUE(WaitFor([&] { return form.Alerts().Idle(); }));
  EXPECT_EQ(TrayIconFaceChanges(), faces + 3);
  EXPECT_EQ(BeepCount(), beeps + 1);
  EXPECT_EQ(TrayIconAdds(), adds);
  EXPECT_TRUE(menu->isVisible());
  EXPECT_EQ(TrayIconShown().cacheKey(), MessageWindow::Icon().cacheKey());

  // "X" while the next alert shows its first face: nothing more follows.
  form.Timer1_Timer();
  EXPECT_FALSE(form.Alerts().Idle());
  EXPECT_EQ(TrayIconFaceChanges(), faces + 4);
  form.Messages()->CloseLBL_Click();
  EXPECT_TRUE(form.Alerts().Idle());
  ASSERT_TRUE(WaitFor([&] { return form.LoadedMessages() == nullptr && form.Waits().Idle(); }));
  EXPECT_EQ(TrayIconFaceChanges(), faces + 4);
  EXPECT_EQ(BeepCount(), beeps + 1);

  // Loaded again the window shows all 40 lines; a new line starts an alert,
  // and a check that finds the file as shown again ends it.
  EXPECT_EQ(form.Messages()->RowCount(), 40);
  testsupport::WriteAll(EventsFile(), lines + "40|LOGIN|12/07/2026|m|c|d\r\n");
  form.Timer1_Timer();
  EXPECT_FALSE(form.Alerts().Idle());
  testsupport::WriteAll(EventsFile(), lines);
  form.Timer1_Timer();
  EXPECT_TRUE(form.Alerts().Idle());
  EXPECT_EQ(TrayIconAdds(), adds);
  menu->hide();
}

// An answer larger than the client keeps is dropped whole: the file keeps the
// events it had, instead of a list with a hole and a line made of two halves.
TEST_F(MessageWindowTest, AnAnswerPastTheBoundLeavesTheFileAsItWas) {
  std::string body;
  for (int k = 0; body.size() <= kMaxResponseBytes; ++k) {
    body += std::to_string(k) + "|LOGIN|12/07/2026 10:00:00|machine|client|description\n";
  }
  FakePeer server([&](QTcpSocket* socket, const QByteArray& got) {
    if (!got.endsWith("\n\n")) return;
    socket->write((kHeader + body).c_str());
    socket->disconnectFromHost();
  });
  Configure({"PORT=1", "LOGLEVEL=1", "TARVOSERVER=127.0.0.1:" + std::to_string(server.port())});
  const std::string former = "1|MONITOR|12/07/2026 10:00:00|srv1|ACME|disk full\r\n";
  testsupport::WriteAll(EventsFile(), former);
  Form1 form;
  form.Timer1_Timer();
  const std::string log = home_.Path("TarvoAgent.log");
  ASSERT_TRUE(
      WaitFor([&] { return ReadAll(log).find("Winsock2_Close Func") != std::string::npos; }));
  EXPECT_EQ(ReadAll(EventsFile()), former);
  EXPECT_NE(ReadAll(log).find("The central server's answer passed 4194304 bytes and was dropped; "
                              "ServerEvents.txt was left as it was Winsock2_Close Func "),
            std::string::npos);

  body = "2|LOGIN|12/07/2026 10:05:00|srv2|Beta|login failed\n";
  Tick(form);
  ASSERT_TRUE(WaitFor([&] { return ReadAll(EventsFile()) != former; }));
  EXPECT_EQ(ReadAll(EventsFile()), "2|LOGIN|12/07/2026 10:05:00|srv2|Beta|login failed\r\n");
}

// A FIFO at the event file, with no writer, is no event file: the window shows
// its design row and the check finds nothing, and neither waits on it.
TEST_F(MessageWindowTest, AFifoAtTheEventFileReadsAsNoFile) {
  Configure({"PORT=1"});
  ASSERT_EQ(mkfifo(EventsFile().c_str(), 0644), 0);
  Form1 form;
  EXPECT_EQ(form.Messages()->RowCount(), 1);
  EXPECT_EQ(Control<QLabel>(*form.Messages(), "Tipo_0")->text(), "Tipo");
  const int beeps = BeepCount();
  form.Timer1_Timer();
  EXPECT_TRUE(form.Alerts().Idle());
  EXPECT_EQ(BeepCount(), beeps);
}

// The window slides in without being activated; its tool tips show anyway.
TEST_F(MessageWindowTest, ToolTipsShowWhileTheWindowIsNotActive) {
  Configure({"PORT=1"});
  testsupport::WriteAll(EventsFile(), "1|MONITOR|12/07/2026 10:00:00|srv1|ACME|disk full\r\n");
  Form1 form;
  MessageWindow* window = form.Messages();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  // Another window has the focus, as when the message window slides in.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(WaitFor([&] { return other.isActiveWindow() && !window->isActiveWindow(); }));
  QLabel* mark = Control<QLabel>(*window, "Descr_0");
  QTest::mouseMove(mark, mark->rect().center());
  ASSERT_TRUE(WaitFor([] { return QToolTip::isVisible(); }, 10000));
  EXPECT_EQ(QToolTip::text(), "disk full");
  QToolTip::hideText();
}

}  // namespace
}  // namespace client

#include "MessageWindowTest.moc"
