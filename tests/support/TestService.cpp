// A small service program for the service-manager tests. It uses the dispatcher
// the way the agent does: the main thread starts a dispatcher thread, waits for
// ServiceMain to register, reports running, loops until the handler asks for a
// stop, reports stopped and releases ServiceMain.
//
// Arguments: --log FILE      append one line per step to FILE
//            --never-register  never call the dispatcher (stays start pending)
//            --ignore-stop     the handler only repeats the status on stop
//            --hang-control    the handler blocks on user control 200
//            --spawn-child     ServiceMain runs this program again with --child
//            --child           only try the dispatcher and log the outcome
//            --linger          after reporting stopped, wait to be killed
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServiceManager.h"

using namespace platform;

extern char** environ;

namespace {

std::string g_log;
bool g_ignore_stop = false;
bool g_hang_control = false;
bool g_spawn_child = false;
bool g_linger = false;

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_started = false;
bool g_stop_pending = false;
bool g_stop = false;
bool g_dispatcher_done = false;

SERVICE_STATUS g_status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
SERVICE_STATUS_HANDLE g_handle = nullptr;

void Log(const std::string& line) {
  if (g_log.empty()) return;
  std::ofstream out(g_log, std::ios::app);
  out << line << "\n";
}

void Report(DWORD state) {
  if (state != 0) g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = g_status.dwCurrentState == SERVICE_RUNNING
                                    ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                    : 0;
  if (!SetServiceStatus(g_handle, &g_status))
    Log("status failed " + std::to_string(GetLastError()));
}

void Signal(bool* flag) {
  std::lock_guard<std::mutex> lock(g_mutex);
  *flag = true;
  g_changed.notify_all();
}

void WaitFor(const bool* flag) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_changed.wait(lock, [flag] { return *flag; });
}

void Handler(DWORD control) {
  Log("control " + std::to_string(control));
  if ((control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) && !g_ignore_stop) {
    Report(SERVICE_STOP_PENDING);
    Signal(&g_stop_pending);
    return;
  }
  if (control == 200 && g_hang_control) {
    for (;;) pause();
  }
  Report(0);
}

void SpawnChild() {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
  std::vector<std::string> args = {self, "--log", g_log, "--child"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ);
}

void ServiceMain(DWORD argc, char** argv) {
  std::string line = "argv";
  for (DWORD i = 0; i < argc; ++i) line += std::string(" ") + argv[i];
  Log(line);
  g_handle = RegisterServiceCtrlHandlerA("ignored name", Handler);
  Report(SERVICE_START_PENDING);
  SERVICE_TABLE_ENTRYA table[] = {{"again", ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    Log("second dispatcher " + std::to_string(GetLastError()));
  }
  if (g_spawn_child) SpawnChild();
  Log("started");
  Signal(&g_started);
  WaitFor(&g_stop);
}

}  // namespace

int main(int argc, char** argv) {
  bool never_register = false;
  bool child = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--log" && i + 1 < argc) g_log = argv[++i];
    if (arg == "--never-register") never_register = true;
    if (arg == "--ignore-stop") g_ignore_stop = true;
    if (arg == "--hang-control") g_hang_control = true;
    if (arg == "--spawn-child") g_spawn_child = true;
    if (arg == "--child") child = true;
    if (arg == "--linger") g_linger = true;
  }
  Log("launched " + std::to_string(getpid()));
  if (never_register) {
    for (;;) pause();
  }

  SERVICE_TABLE_ENTRYA table[] = {{"Test Service", ServiceMain}, {nullptr, nullptr}};
  if (child) {
    if (!StartServiceCtrlDispatcherA(table)) {
      Log("child dispatcher " + std::to_string(GetLastError()));
    }
    return 0;
  }
  std::thread dispatcher([&table] {
    if (!StartServiceCtrlDispatcherA(table)) {
      Log("dispatcher failed " + std::to_string(GetLastError()));
    }
    Signal(&g_dispatcher_done);
  });
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait(lock, [] { return g_started || g_dispatcher_done; });
  }
  if (!g_started) {
    dispatcher.join();
    return 1;
  }
  Report(SERVICE_RUNNING);
  Log("running");
  WaitFor(&g_stop_pending);
  Log("stopping");
  Report(SERVICE_STOPPED);
  Signal(&g_stop);
  dispatcher.join();
  Log("exited");
  if (g_linger) {
    for (;;) pause();
  }
  return 0;
}
