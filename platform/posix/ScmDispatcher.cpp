// The service side: StartServiceCtrlDispatcherA, RegisterServiceCtrlHandlerA and
// SetServiceStatus.
//
// A process started by StartServiceA finds its service name and the manager's
// root folder in its environment and its own status record below that root.
// The dispatcher owns the control socket; it runs the registered handler on its
// own thread for each control, as the Windows dispatcher does, and answers with
// the status then in force.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/linux/ProcessProbe.h"
#include "platform/linux/ScmChannel.h"
#include "platform/posix/ScmDispatcherCore.h"
#include "platform/posix/ScmHandles.h"
#include "platform/posix/ScmStore.h"

namespace platform {

struct ServiceStatusHandleData {
  int unused = 0;
};

namespace {

constexpr DWORD kErrorInvalidData = 13;
constexpr DWORD kErrorServiceNotInExe = 1083;

// What the dispatcher and the service's threads share. The status record on
// disk is rewritten while `mutex` is held, so the record always matches the
// last status reported.
struct Dispatcher : scm::DispatcherCore {
  std::string root;
  std::string name;
  int pid = 0;
  uint64_t start_time = 0;
  std::string args;
};

Dispatcher& TheDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

std::atomic<bool> g_dispatcher_started{false};
ServiceStatusHandleData g_status_handle;

// Rewrites the status record, unless it no longer names this process (a newer
// start of the same service owns it then). Called with d.mutex held.
DWORD WriteStatusRecord(Dispatcher& d) {
  scm::StoreLock lock;
  if (DWORD error = lock.Acquire(d.root, false)) return error;
  auto current = scm::LoadStatus(d.root, d.name);
  if (!current || current->pid != d.pid || current->start_time != d.start_time) return 0;
  scm::StatusRecord record;
  record.status = d.status;
  record.pid = d.pid;
  record.start_time = d.start_time;
  record.args = d.args;
  return WinErrorFromErrno(scm::SaveStatus(d.root, d.name, record));
}

// Runs one control through the handler and answers it.
void ServeControl(Dispatcher& d, const scm::ControlRequest& request) {
  scm::ControlReply reply;
  LPHANDLER_FUNCTION handler;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    handler = d.handler;
    reply.status = d.status;
  }
  // Only root and the service's own user may steer it.
  if (request.peer_uid != 0 && request.peer_uid != geteuid()) {
    reply.error = ERROR_ACCESS_DENIED;
  } else if (reply.status.dwCurrentState == SERVICE_STOPPED) {
    reply.error = ERROR_SERVICE_NOT_ACTIVE;
  } else if (handler == nullptr) {
    reply.error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  } else {
    handler(request.control);
    std::lock_guard<std::mutex> lock(d.mutex);
    reply.status = d.status;
  }
  ReplyControl(request.fd, reply);
}

}  // namespace

namespace scm {

void DispatcherCore::Wake() const {
  const char byte = 1;
  ssize_t ignored = write(wake_write, &byte, 1);
  (void)ignored;
}

bool DispatcherCore::Finished() {
  std::lock_guard<std::mutex> lock(mutex);
  return main_returned && status.dwCurrentState == SERVICE_STOPPED;
}

bool DispatcherCore::Register(LPHANDLER_FUNCTION new_handler) {
  if (new_handler == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex);
  if (!active) return Fail(kErrorServiceNotInExe);
  // The name is not checked: the process is the service it was started as.
  handler = new_handler;
  Wake();  // the loop looks again (systemd delivers a stop kept for the handler)
  return true;
}

bool DispatcherCore::Accept(bool own_handle, const SERVICE_STATUS* reported) {
  if (!own_handle || !active) return Fail(ERROR_INVALID_HANDLE);
  if (reported == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  if (reported->dwCurrentState < SERVICE_STOPPED || reported->dwCurrentState > SERVICE_PAUSED) {
    return Fail(kErrorInvalidData);
  }
  status = *reported;
  return true;
}

}  // namespace scm

namespace embedded {

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr || table[0].lpServiceProc == nullptr) {
    return scm::Fail(ERROR_INVALID_PARAMETER);
  }
  const char* service = std::getenv("TARVO_SCM_SERVICE");
  if (service == nullptr || *service == '\0') {
    return scm::Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  // The variables are inherited by the service's children: only the process the
  // status record names is the service.
  std::string root = ServiceManagerRoot();
  auto self = ReadProcessIdentity(getpid());
  auto record = scm::LoadStatus(root, service);
  if (!self || !record || record->pid != getpid() || record->start_time != self->start_time) {
    return scm::Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  if (g_dispatcher_started.exchange(true)) return scm::Fail(ERROR_SERVICE_ALREADY_RUNNING);

  int err = 0;
  int listen_fd = scm::ListenControlChannel(getpid(), self->start_time, &err);
  int wake[2];
  if (listen_fd < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (listen_fd < 0) return scm::FailErrno(err);
    err = errno;
    close(listen_fd);
    return scm::FailErrno(err);
  }

  Dispatcher& d = TheDispatcher();
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.root = root;
    d.name = service;
    d.pid = getpid();
    d.start_time = self->start_time;
    d.args = record->args;
    d.status = record->status;
    d.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    d.wake_write = wake[1];
    d.active = true;
  }

  // ServiceMain gets the arguments given to StartServiceA, or the service name.
  std::vector<std::string> arguments;
  if (!record->args.empty()) arguments = SplitCommandLine(record->args);
  if (arguments.empty()) arguments.push_back(service);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
  std::thread main_thread([&] {
    service_main(static_cast<DWORD>(arguments.size()), argv.data());
    std::lock_guard<std::mutex> lock(d.mutex);
    d.main_returned = true;
    d.Wake();
  });

  while (!d.Finished()) {
    pollfd fds[2] = {{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[1].revents & POLLIN) {
      char drain[64];
      ssize_t ignored = read(wake[0], drain, sizeof drain);
      (void)ignored;
    }
    if (fds[0].revents & POLLIN) {
      if (auto request = scm::AcceptControl(listen_fd)) ServeControl(d, *request);
    }
  }
  main_thread.join();
  close(listen_fd);
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.active = false;
    d.handler = nullptr;
    d.wake_write = -1;
  }
  close(wake[0]);
  close(wake[1]);
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* service_name,
                                                  LPHANDLER_FUNCTION handler) {
  if (!TheDispatcher().Register(handler)) return nullptr;
  return &g_status_handle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.Accept(handle == &g_status_handle, status)) return FALSE;
  const DWORD error = WriteStatusRecord(d);
  if (d.status.dwCurrentState == SERVICE_STOPPED) d.Wake();
  if (error != 0) return scm::Fail(error);
  return TRUE;
}

}  // namespace embedded
}  // namespace platform
