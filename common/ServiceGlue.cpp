#include "common/ServiceGlue.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace common {
namespace {

// The status record is written from three threads; a lock keeps each report
// whole.
std::mutex& StatusLock() {
  static std::mutex lock;
  return lock;
}

void LogStep(std::string_view prefix, std::string_view text, int16_t level) {
  std::string line(prefix);
  line += text;
  line += GeneralDateTextNow();
  WriteLog(line, level);
}

}  // namespace

ServiceGlueState& TheServiceGlue() {
  static ServiceGlueState state;
  return state;
}

void ReportStatus(platform::DWORD state) {
  ServiceGlueState& glue = TheServiceGlue();
  std::lock_guard<std::mutex> guard(StatusLock());
  if (state != 0) glue.ServiceStatus.dwCurrentState = state;
  platform::SERVICE_STATUS copy = glue.ServiceStatus;
  platform::SetServiceStatus(glue.StatusHandle, &copy);
}

void ServiceMain(platform::DWORD, char**) {
  ServiceGlueState& glue = TheServiceGlue();
  {
    std::lock_guard<std::mutex> guard(StatusLock());
    glue.ServiceStatus.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS;
    glue.ServiceStatus.dwControlsAccepted = platform::SERVICE_ACCEPT_STOP |
                                            platform::SERVICE_ACCEPT_SHUTDOWN |
                                            platform::SERVICE_ACCEPT_NETBINDCHANGE;
    glue.ServiceStatus.dwWin32ExitCode = 0;
    glue.ServiceStatus.dwServiceSpecificExitCode = 0;
    glue.ServiceStatus.dwCheckPoint = 0;
    glue.ServiceStatus.dwWaitHint = 0;
  }
  glue.StatusHandle =
      platform::RegisterServiceCtrlHandlerA(glue.ServiceNameAnsi.c_str(), ServiceControlHandler);
  ReportStatus(platform::SERVICE_START_PENDING);
  glue.StartEvent->Set();
  glue.StopEvent->Wait(-1);
}

void ServiceControlHandler(platform::DWORD control) {
  if (control == platform::SERVICE_CONTROL_STOP || control == platform::SERVICE_CONTROL_SHUTDOWN) {
    ReportStatus(platform::SERVICE_STOP_PENDING);
    TheServiceGlue().StopPendingEvent->Set();
  } else {
    ReportStatus(0);
  }
}

bool IsWindowsNT() { return true; }

void CreateServiceEvents(std::string_view log_prefix) {
  ServiceGlueState& glue = TheServiceGlue();
  LogStep(log_prefix, "Criando evento de serviços...(stop) ", 5);
  glue.StopEvent = std::make_unique<platform::ManualResetEvent>();
  LogStep(log_prefix, "Criando evento de serviços...(stop pending) ", 5);
  glue.StopPendingEvent = std::make_unique<platform::ManualResetEvent>();
  LogStep(log_prefix, "Criando evento de serviços...(start) ", 5);
  glue.StartEvent = std::make_unique<platform::ManualResetEvent>();
}

bool StartDispatcherThread(std::string_view log_prefix) {
  ServiceGlueState& glue = TheServiceGlue();
  LogStep(log_prefix, "Tentando iniciar serviços... ", 5);

  auto dispatcher_ended = std::make_shared<platform::ManualResetEvent>();
  glue.DispatcherThread = std::thread([dispatcher_ended, name = glue.ServiceNameAnsi] {
    const platform::SERVICE_TABLE_ENTRYA table[] = {{name.c_str(), ServiceMain},
                                                    {nullptr, nullptr}};
    platform::StartServiceCtrlDispatcherA(table);
    dispatcher_ended->Set();
  });

  const int handles[] = {dispatcher_ended->fd(), glue.StartEvent->fd()};
  const int which = platform::WaitForAnyReadable(handles, -1);
  glue.RunningAsService = (which == 1);
  if (!glue.RunningAsService) {
    glue.DispatcherThread.join();
    std::string line(log_prefix);
    line += "This program must be started as a service.";
    WriteLog(line, 1);
  }
  return glue.RunningAsService;
}

void StopDispatcherThread() {
  ServiceGlueState& glue = TheServiceGlue();
  glue.StopEvent->Set();
  if (glue.DispatcherThread.joinable()) glue.DispatcherThread.join();
}

void CloseServiceEvents() {
  ServiceGlueState& glue = TheServiceGlue();
  glue.StopEvent.reset();
  glue.StartEvent.reset();
  glue.StopPendingEvent.reset();
}

std::optional<platform::InstanceLock> AcquireInstanceLock(std::string_view lock_name,
                                                          std::string_view log_prefix,
                                                          const char* event_source) {
  const std::string path = ProgramPath(lock_name);
  int cause = 0;
  std::optional<platform::InstanceLock> instance = platform::InstanceLock::Acquire(path, &cause);
  if (instance) return instance;
  if (cause == EWOULDBLOCK) {
    LogStep(log_prefix, "Ja existe uma instancia carregada ! ", 1);
    return std::nullopt;
  }
  const std::string text = "Cannot open the instance lock " + path + ": " + std::strerror(cause);
  LogStep(log_prefix, text + " ", 1);
  platform::WriteEventLog(event_source, text);
  return std::nullopt;
}

void RunService(const ServiceProgram& program, std::optional<platform::InstanceLock>& instance) {
  const std::string_view prefix = program.LogPrefix;
  LogStep(prefix, "Verificando OS... ", 5);
  LogStep(prefix, "Verificando Sistema operacional ! ", 2);
  const bool nt_family = IsWindowsNT();

  CreateServiceEvents(prefix);
  ServiceGlueState& glue = TheServiceGlue();
  glue.ServiceNameAnsi = program.ServiceName;

  if (nt_family) {
    StartDispatcherThread(prefix);
  } else {
    std::string line(prefix);
    line += "This program is only for Windows NT/2000/XP.";
    WriteLog(line, 1);
  }

  LogStep(prefix, "Iniciando loop do servico ", 2);

  if (glue.RunningAsService) {
    ReportStatus(platform::SERVICE_RUNNING);
    platform::WriteEventLog(program.EventSource, program.StartedEntry);
    LogStep(prefix, "Serviço iniciado !", 5);
    program.MainLoop();
    LogStep(prefix, "Parando serviço... ", 5);
    instance.reset();
    ReportStatus(platform::SERVICE_STOPPED);
    platform::WriteEventLog(program.EventSource, program.StoppedEntry);
    StopDispatcherThread();
  }

  CloseServiceEvents();
}

}  // namespace common
