// The tray icon through many new-event alerts on a real notification area:
// where the icon stands before and after them, and whether a menu opened
// before them is still open. For comparison, the same number of removals and
// re-additions of the icon, as alerts once did. Run it on a display with a
// tray (bench/tray_alerts.sh starts Xvfb and trayer for it).
//
//   tray_alert_bench [alerts]      (default 200; TRAY_SHOTS=folder keeps pictures)

#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "client/Form1.h"
#include "client/Tray.h"
#include "common/AgentConfig.h"
#include "platform/FileAccess.h"

namespace {

// Runs the event loop for ms milliseconds, or until the condition (if any)
// holds.
void Spin(int ms, const std::function<bool()>& condition = {}) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (condition && condition()) loop.quit();
  });
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  poll.start(5);
  loop.exec();
}

// Prints where the icon stands and, when TRAY_SHOTS names a folder, keeps a
// picture of the panel's corner there as name.png.
void PrintGeometry(const char* when, const char* name) {
  const QRect at = client::TrayIcon()->geometry();
  std::printf("%-34s icon at x=%d y=%d (%dx%d)\n", when, at.x(), at.y(), at.width(), at.height());
  const QByteArray shots = qgetenv("TRAY_SHOTS");
  if (shots.isEmpty()) return;
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  QGuiApplication::primaryScreen()
      ->grabWindow(0, screen.width() - 320, screen.height() - 48, 320, 48)
      .save(QString::fromLocal8Bit(shots) + QLatin1Char('/') + QLatin1String(name) +
            QLatin1String(".png"));
}

}  // namespace

int main(int argc, char** argv) {
  const int alerts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  char folder[] = "/tmp/tarvo-tray-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  setenv("TARVO_HOME", folder, 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    std::fprintf(stderr, "error: no notification area on this display\n");
    return 1;
  }
  platform::WriteRegularFile(std::string(folder) + "/TarvoAgent.cfg", "PORT=1\r\n",
                             platform::WriteMode::kTruncate);
  common::LoadAgentConfig();

  client::Form1 form;
  client::TrayIconAdd(&form, client::Form1::Icon(), QStringLiteral("GUI Client for Tarvo Agent"));
  Spin(1000);
  PrintGeometry("before the alerts:", "tray-before");
  const QRect start = client::TrayIcon()->geometry();

  auto* menu = form.findChild<QMenu*>(QStringLiteral("TrayMenu"));
  menu->popup(start.center());
  Spin(200);
  const bool menu_open_before = menu->isVisible();
  for (int k = 0; k < alerts; ++k) {
    form.AlertNewEvents(1);
    Spin(5000, [&] { return form.Alerts().Idle(); });
  }
  const bool menu_open_after = menu->isVisible();
  menu->hide();
  Spin(500);
  PrintGeometry("after the alerts:", "tray-after-alerts");
  std::printf(
      "%d alerts: %s; menu open before %s, after %s\n", alerts,
      client::TrayIcon()->geometry() == start ? "the icon stayed where it was" : "THE ICON MOVED",
      menu_open_before ? "yes" : "no", menu_open_after ? "yes" : "no");

  // What alerts did before: the icon taken out of the tray and put back.
  for (int k = 0; k < alerts; ++k) {
    client::TrayIconRemove();
    client::TrayIconAdd(&form, client::Form1::Icon(), QStringLiteral("GUI Client for Tarvo Agent"));
    Spin(100);
  }
  Spin(1000);
  PrintGeometry("after as many removals and adds:", "tray-after-readds");
  std::filesystem::remove_all(folder);
  return 0;
}
