// The desktop client's memory after the central server answered with an event
// list of 246,000 lines (just under the 4 MiB an answer may hold) and the
// check that follows raised its alert; and the time that check and the
// message window's load take over such a file. Runs offscreen in a temporary
// program folder, with a central server of its own on a free loopback port.
//
//   client_alert_bench

#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "bench/BenchSupport.h"
#include "client/Form1.h"
#include "client/MessageWindow.h"
#include "client/Tray.h"
#include "common/AgentConfig.h"
#include "platform/FileAccess.h"

namespace {

constexpr int kEventLines = 246000;

// Runs the event loop until the condition holds or 60 s pass.
bool WaitUntil(const std::function<bool()>& condition) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (condition()) loop.quit();
  });
  QTimer::singleShot(60000, &loop, &QEventLoop::quit);
  poll.start(1);
  loop.exec();
  return condition();
}

double MiB(long kib) {
  return static_cast<double>(kib) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  char folder[] = "/tmp/tarvo-alert-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string home = folder;
  setenv("TARVO_HOME", folder, 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  // Event lines of 16 characters: the shortest that count, as many as fit.
  std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
  for (int k = 0; k < kEventLines; ++k) {
    char line[32];
    std::snprintf(line, sizeof line, "%06d|MONITOR|x\n", k);
    answer += line;
  }
  QTcpServer server;
  server.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    QTcpSocket* socket = server.nextPendingConnection();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &answer] {
      if (!socket->readAll().endsWith("\n\n")) return;
      socket->write(answer.data(), static_cast<qint64>(answer.size()));
      socket->disconnectFromHost();
    });
  });
  platform::WriteRegularFile(
      home + "/TarvoAgent.cfg",
      "PORT=1\r\nTARVOSERVER=127.0.0.1:" + std::to_string(server.serverPort()) + "\r\n",
      platform::WriteMode::kTruncate);
  common::LoadAgentConfig();

  client::Form1 form;
  client::TrayIconAdd(&form, client::Form1::Icon(), QStringLiteral("GUI Client for Tarvo Agent"));
  form.Messages();
  const long before_kib = bench::ProcessStatusKiB(getpid(), "VmRSS").value_or(0);

  const std::string events = home + "/ServerEvents.txt";
  form.Timer1_Timer();
  if (!WaitUntil([&] { return std::filesystem::exists(events); })) {
    std::fprintf(stderr, "error: the event list was not written within 60 s\n");
    return 1;
  }
  const int faces = client::TrayIconFaceChanges();
  const auto check_start = bench::Clock::now();
  form.Timer1_Timer();
  const double check_ms = bench::MsSince(check_start);
  WaitUntil([&] { return form.Alerts().Idle(); });
  const long after_kib = bench::ProcessStatusKiB(getpid(), "VmRSS").value_or(0);
  const long peak_kib = bench::ProcessStatusKiB(getpid(), "VmHWM").value_or(0);

  std::printf("event list: %d lines, %.2f MiB on disk\n", kEventLines,
              static_cast<double>(std::filesystem::file_size(events)) / (1 << 20));
  std::printf("new-event check over it: %.1f ms; alert: %d tray face changes\n", check_ms,
              client::TrayIconFaceChanges() - faces);
  std::printf(
      "client resident memory: %.1f MB before the list, %.1f MB after the list and the "
      "alert, peak %.1f MB (target < 60 MB)\n",
      MiB(before_kib), MiB(after_kib), MiB(peak_kib));

  bench::Series loads;
  for (int k = 0; k < 10; ++k) {
    loads.Time([&] {
      client::MessageWindow window(&form);
      return window.RowCount() == client::kMaxShownEvents;
    });
  }
  const bench::Figures f = loads.Summary();
  std::printf("message window load over it: n=%zu min %.1f median %.1f max %.1f ms\n", f.count,
              f.min, f.median, f.max);
  std::filesystem::remove_all(home);
  return loads.Failed() ? 1 : 0;
}
