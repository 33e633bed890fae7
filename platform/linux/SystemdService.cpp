// The service side on systemd: StartServiceCtrlDispatcherA,
// RegisterServiceCtrlHandlerA and SetServiceStatus for a program that systemd
// started as the main process of a Type=notify unit.
//
// Status reports become notifications to systemd (SystemdNotify.h): READY=1
// when running, STOPPING=1 when stop pending, and STATUS= with the state's name
// each time. systemd's stop request is SIGTERM; the dispatcher turns it into
// the stop control for the registered handler, on the dispatcher's own thread,
// as the Windows dispatcher runs handlers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "platform/linux/SystemdNotify.h"
#include "platform/posix/ScmBackends.h"
#include "platform/posix/ScmDispatcherCore.h"
#include "platform/posix/ScmHandles.h"

namespace platform::systemd {

namespace {

struct Dispatcher : scm::DispatcherCore {
  bool stop_requested = false;  // SIGTERM seen, not yet handed to a handler
};

Dispatcher& TheDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

std::atomic<bool> g_dispatcher_started{false};
// Only its address is used: the one status handle this backend hands out.
char g_status_handle_marker;
// Written by the SIGTERM handler, read by the dispatcher loop.
std::atomic<int> g_signal_write{-1};

void OnTerminate(int) {
  const int saved = errno;
  const char byte = 1;
  ssize_t ignored = write(g_signal_write.load(), &byte, 1);
  (void)ignored;
  errno = saved;
}

void Drain(int fd) {
  char bytes[64];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continue pending";
    case SERVICE_PAUSE_PENDING:
      return "pause pending";
    default:
      return "paused";
  }
}

void Notify(DWORD state) {
  std::string message;
  if (state == SERVICE_RUNNING) message += "READY=1\n";
  if (state == SERVICE_STOP_PENDING) message += "STOPPING=1\n";
  message += "STATUS=";
  message += StateName(state);
  NotifyServiceManager(message);
}

bool IsOwnPid(const char* text) {
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && pid == static_cast<long>(getpid());
}

// Hands a pending stop to the handler once one is registered; a stop that
// arrives before ServiceMain has registered is kept, not lost.
void DeliverStop(Dispatcher& d) {
  LPHANDLER_FUNCTION handler;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.stop_requested || d.handler == nullptr) return;
    d.stop_requested = false;
    if (d.status.dwCurrentState == SERVICE_STOPPED) return;
    handler = d.handler;
  }
  handler(SERVICE_CONTROL_STOP);
}

}  // namespace

bool StartedBySystemd() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  if ((notify == nullptr || *notify == '\0') && (invocation == nullptr || *invocation == '\0')) {
    return false;
  }
  const char* exec_pid = std::getenv("SYSTEMD_EXEC_PID");
  return exec_pid == nullptr || IsOwnPid(exec_pid);
}

bool OwnsStatusHandle(SERVICE_STATUS_HANDLE handle) {
  return handle != nullptr &&
         handle == reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_status_handle_marker);
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr || table[0].lpServiceProc == nullptr) {
    return scm::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!StartedBySystemd()) return scm::Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  if (g_dispatcher_started.exchange(true)) return scm::Fail(ERROR_SERVICE_ALREADY_RUNNING);

  int signal_pipe[2];
  int wake[2];
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return scm::FailErrno(errno);
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int err = errno;
    close(signal_pipe[0]);
    close(signal_pipe[1]);
    return scm::FailErrno(err);
  }
  g_signal_write = signal_pipe[1];
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  sigaction(SIGTERM, &action, &previous);

  Dispatcher& d = TheDispatcher();
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.active = true;
    d.wake_write = wake[1];
  }

  std::string name = table[0].lpServiceName != nullptr ? table[0].lpServiceName : "";
  char* argv[] = {name.data(), nullptr};
  LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
  std::thread main_thread([&] {
    service_main(1, argv);
    std::lock_guard<std::mutex> lock(d.mutex);
    d.main_returned = true;
    d.Wake();
  });

  while (!d.Finished()) {
    pollfd fds[2] = {{signal_pipe[0], POLLIN, 0}, {wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[1].revents & POLLIN) Drain(wake[0]);
    if (fds[0].revents & POLLIN) {
      Drain(signal_pipe[0]);
      std::lock_guard<std::mutex> lock(d.mutex);
      d.stop_requested = true;
    }
    DeliverStop(d);
  }
  main_thread.join();

  sigaction(SIGTERM, &previous, nullptr);
  g_signal_write = -1;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.active = false;
    d.handler = nullptr;
    d.wake_write = -1;
  }
  for (int fd : {signal_pipe[0], signal_pipe[1], wake[0], wake[1]}) close(fd);
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* service_name,
                                                  LPHANDLER_FUNCTION handler) {
  // A stop that came before the handler is delivered once it is registered.
  if (!TheDispatcher().Register(handler)) return nullptr;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_status_handle_marker);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.Accept(OwnsStatusHandle(handle), status)) return FALSE;
  Notify(status->dwCurrentState);
  if (status->dwCurrentState == SERVICE_STOPPED) d.Wake();
  return TRUE;
}

}  // namespace platform::systemd
