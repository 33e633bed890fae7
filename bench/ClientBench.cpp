// The desktop client against the agent run as a service: the time from the
// client's start to the first values shown in its main window, and the time
// the message window takes to load 100 event lines. Runs off the screen
// unless QT_QPA_PLATFORM says otherwise.
//
//   client_bench [runs]      (default 5 starts of the main window)

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "client/Form1.h"
#include "client/MessageWindow.h"

namespace {

// Runs the event loop until the box holds text or 30 s pass.
bool WaitForText(const QLineEdit* box) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!box->text().isEmpty()) loop.quit();
  });
  QTimer::singleShot(30000, &loop, &QEventLoop::quit);
  poll.start(1);
  loop.exec();
  return !box->text().isEmpty();
}

void Print(const char* what, const bench::Figures& f) {
  std::printf("%s: n=%zu min %.1f median %.1f p90 %.1f max %.1f ms\n", what, f.count, f.min,
              f.median, f.p90, f.max);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  const int port = bench::FreeLoopbackPort();
  bench::AgentService agent(TARVO_AGENT_BINARY, "PORT=" + std::to_string(port) +
                                                    "\r\nLISTEN=127.0.0.1\r\nTARGETTARVOAGENT=127.0.0.1\r\n");
  if (!agent.Installed() || !agent.StartServing(port)) {
    std::fprintf(stderr, "error: the agent service did not start\n");
    return 1;
  }
  setenv("TARVO_HOME", agent.Folder().c_str(), 1);

  // The first run counts the application object too, as a process start does.
  const auto process_start = bench::Clock::now();
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  bench::Series starts;
  for (int run = 0; run < runs; ++run) {
    const auto start = run == 0 ? process_start : bench::Clock::now();
    auto form = std::make_unique<client::Form1>();
    form->Form_Load();
    if (!WaitForText(form->findChild<QLineEdit*>(QStringLiteral("ThreadsF")))) {
      std::fprintf(stderr, "error: no values within 30 s\n");
      return 1;
    }
    starts.Add(bench::MsSince(start));
  }
  Print("client start to first shown values (5 s poll period)", starts.Summary());

  {
    std::ofstream events(agent.Folder() + "/ServerEvents.txt", std::ios::binary);
    for (int k = 0; k < 100; ++k) {
      events << 4000 + k << (k % 3 == 0 ? "|SECURITY|" : "|MONITOR|") << "12/07/2026 18:0" << k % 10
             << ":00|host-" << k << "|Customer " << k % 7 << "|Event number " << k << "\r\n";
    }
  }
  client::Form1 form;
  bench::Series loads;
  for (int k = 0; k < 50; ++k) {
    loads.Time([&] {
      auto window = std::make_unique<client::MessageWindow>(&form);
      return window->RowCount() == 100;
    });
  }
  Print("message window load with 100 event lines", loads.Summary());
  return loads.Failed() ? 1 : 0;
}
