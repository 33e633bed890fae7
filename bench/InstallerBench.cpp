// Measures the installer window's start: from starting the program to its
// window shown and exposed with both frames refreshed once (Form_Load). Each
// round starts this program afresh as a child, which reports over a pipe.
//
// Usage: installer_bench [ROUNDS]   (default 10)
// Runs on the display of QT_QPA_PLATFORM / DISPLAY; the frames read the
// service manager at TARVO_SCM_ROOT.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/BenchSupport.h"
#include "installer/frmServiceControl.h"

extern char** environ;

namespace {

int RunChild(int report_fd) {
  int argc = 1;
  char name[] = "installer_bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  installer::frmServiceControl form;
  if (!form.Form_Load()) return 1;
  form.show();
  // Shown, exposed, and both frames showing what their first reading found.
  while (form.windowHandle() == nullptr || !form.windowHandle()->isExposed() ||
         form.CallsPending()) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  const char ready = 'r';
  return write(report_fd, &ready, 1) == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return RunChild(std::atoi(argv[2]));
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;

  bench::Series series;
  for (int round = 0; round < rounds; ++round) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    std::string fd_text = std::to_string(fds[1]);
    char child_flag[] = "--child";
    char* child_argv[] = {argv[0], child_flag, fd_text.data(), nullptr};
    const auto start = bench::Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, child_argv, environ) != 0) return 1;
    close(fds[1]);
    char ready = 0;
    const bool shown = read(fds[0], &ready, 1) == 1;
    const double ms = bench::MsSince(start);
    close(fds[0]);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (!shown) {
      std::fprintf(stderr, "round %d: the window was not shown\n", round);
      return 1;
    }
    series.Add(ms);
  }
  const bench::Figures figures = series.Summary();
  std::printf("installer start to first refreshed window: n=%zu median %.0f ms, min %.0f, max %.0f\n",
              figures.count, figures.median, figures.min, figures.max);
  return 0;
}
