// tarvo-sc: the command-line front of the service manager in force (the
// embedded manager, or systemd where it runs the machine), in the manner of
// sc.exe.
//
//   tarvo-sc create NAME BINARY [--display TEXT] [--start auto|demand]
//                               [--account NAME] [--description TEXT]
//   tarvo-sc delete NAME | start NAME | stop NAME | query [NAME] | boot
//
// The exit status is 0 or the Windows error code of the failed step. Exit
// statuses hold 8 bits, so the shell sees the code modulo 256 (1060 -> 36; a
// code that would read as 0 exits with 1); the full code is on stderr.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"

using namespace platform;

namespace {

constexpr DWORD kErrorServiceLogonFailed = 1069;

const char* ErrorText(DWORD code) {
  static const std::map<DWORD, const char*> kTexts = {
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
      {ERROR_SERVICE_REQUEST_TIMEOUT,
       "The service did not respond to the start or control request in a timely fashion."},
      {ERROR_SERVICE_DATABASE_LOCKED, "The service database is locked."},
      {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
      {ERROR_INVALID_SERVICE_ACCOUNT,
       "The account name is invalid or does not exist, or the password is invalid for the "
       "account name specified."},
      {ERROR_SERVICE_DISABLED, "The service cannot be started because it is disabled."},
      {ERROR_SERVICE_DOES_NOT_EXIST,
       "The specified service does not exist as an installed service."},
      {ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
       "The service cannot accept control messages at this time."},
      {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
      {kErrorServiceLogonFailed, "The service did not start due to a logon failure."},
      {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
      {ERROR_SERVICE_EXISTS, "The specified service already exists."},
  };
  auto found = kTexts.find(code);
  return found != kTexts.end() ? found->second : "The operation failed.";
}

const char* StateWord(DWORD state) {
  static const char* const kWords[] = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                       "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                       "PAUSED"};
  return (state >= 1 && state <= 7) ? kWords[state - 1] : "UNKNOWN";
}

// Prints the failure line for the call that failed and returns its code.
DWORD Failed(const char* call) {
  DWORD code = GetLastError();
  std::fprintf(stderr, "[SC] %s FAILED %u: %s\n", call, code, ErrorText(code));
  return code;
}

int ExitStatus(DWORD code) {
  if (code == 0) return 0;
  return (code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: tarvo-sc create NAME BINARY [--display TEXT] [--start auto|demand]\n"
               "                       [--account NAME] [--description TEXT]\n"
               "       tarvo-sc delete NAME\n"
               "       tarvo-sc start NAME\n"
               "       tarvo-sc stop NAME\n"
               "       tarvo-sc query [NAME]\n"
               "       tarvo-sc boot\n");
  return ERROR_INVALID_PARAMETER;
}

// Handles closed when the scope ends.
class Handle {
 public:
  explicit Handle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

// One service as query prints it.
struct Row {
  std::string name;
  std::string display;
  DWORD state = SERVICE_STOPPED;
  DWORD pid = 0;
};

void PrintRow(const Row& row) {
  std::printf("SERVICE_NAME: %s\nDISPLAY_NAME: %s\nSTATE : %u %s\nPID : %u\n", row.name.c_str(),
              row.display.c_str(), row.state, StateWord(row.state), row.pid);
}

// Every installed service in name order, with its process id.
DWORD CollectRows(SC_HANDLE manager, std::vector<Row>* rows) {
  DWORD needed = 0;
  DWORD returned = 0;
  DWORD resume = 0;
  std::vector<ENUM_SERVICE_STATUSA> buffer;
  while (!EnumServicesStatusA(manager, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                              static_cast<DWORD>(buffer.size() * sizeof(ENUM_SERVICE_STATUSA)),
                              &needed, &returned, &resume)) {
    if (GetLastError() != ERROR_MORE_DATA) return Failed("EnumServicesStatus");
    // Entries written by a too-small call would be listed twice: start over.
    resume = 0;
    buffer.resize(buffer.size() + needed / sizeof(ENUM_SERVICE_STATUSA) + 1);
  }
  for (DWORD i = 0; i < returned; ++i) {
    Row row{buffer[i].lpServiceName, buffer[i].lpDisplayName,
            buffer[i].ServiceStatus.dwCurrentState, 0};
    Handle service(OpenServiceA(manager, row.name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    if (service && QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
      row.state = status.dwCurrentState;
      row.pid = status.dwProcessId;
    }
    rows->push_back(row);
  }
  return 0;
}

// Prints the status block of an open service: the name it is installed under,
// its display name, state and process id.
DWORD PrintService(SC_HANDLE service) {
  Row row{ServiceNameOf(service), "", SERVICE_STOPPED, 0};
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    return Failed("QueryServiceStatusEx");
  }
  row.state = status.dwCurrentState;
  row.pid = status.dwProcessId;
  std::vector<unsigned char> buffer(1024);
  auto read_config = [&] {
    return QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                               static_cast<DWORD>(buffer.size()), &needed);
  };
  bool read = read_config();
  if (!read && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(needed);
    read = read_config();
  }
  if (read) {
    const char* display = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->lpDisplayName;
    row.display = display != nullptr ? display : row.name;
  } else if (GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
    row.display = row.name;  // a deleted service whose process has just ended
  } else {
    return Failed("QueryServiceConfig");
  }
  PrintRow(row);
  return 0;
}

// query NAME: the one service the name means (its name as installed, with or
// without ".service" on systemd, or its display name there).
DWORD QueryOne(SC_HANDLE manager, const std::string& name) {
  Handle service(
      OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) return Failed("OpenService");
  return PrintService(service.get());
}

// query [NAME]: the status blocks, a blank line between them.
DWORD Query(SC_HANDLE manager, const std::string* name) {
  if (name != nullptr) return QueryOne(manager, *name);
  std::vector<Row> rows;
  if (DWORD err = CollectRows(manager, &rows)) return err;
  bool first = true;
  for (const Row& row : rows) {
    if (!first) std::printf("\n");
    PrintRow(row);
    first = false;
  }
  return 0;
}

DWORD Create(SC_HANDLE manager, const std::vector<std::string>& args) {
  std::string display = args[1];
  std::string account;
  std::string description;
  DWORD start_type = SERVICE_DEMAND_START;
  for (size_t i = 3; i + 1 < args.size(); i += 2) {
    const std::string& value = args[i + 1];
    if (args[i] == "--display") {
      display = value;
    } else if (args[i] == "--account") {
      account = value;
    } else if (args[i] == "--description") {
      description = value;
    } else if (args[i] == "--start" && (value == "auto" || value == "demand")) {
      start_type = value == "auto" ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
    } else {
      return Usage();
    }
  }
  Handle service(CreateServiceA(manager, args[1].c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, start_type, SERVICE_ERROR_NORMAL,
                                args[2].c_str(), nullptr, nullptr, nullptr,
                                account.empty() ? nullptr : account.c_str(), nullptr));
  if (!service) return Failed("CreateService");
  if (!description.empty()) {
    SERVICE_DESCRIPTIONA info{description.data()};
    if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
      return Failed("ChangeServiceConfig2");
    }
  }
  std::printf("[SC] CreateService SUCCESS\n");
  return 0;
}

// start, stop and delete of one service; start and stop print its status.
DWORD Act(SC_HANDLE manager, const std::string& command, const std::string& name) {
  Handle service(OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return Failed("OpenService");
  if (command == "delete") {
    if (!DeleteService(service.get())) return Failed("DeleteService");
    std::printf("[SC] DeleteService SUCCESS\n");
    return 0;
  }
  if (command == "start") {
    if (!StartServiceA(service.get(), 0, nullptr)) return Failed("StartService");
  } else {
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
      return Failed("ControlService");
    }
  }
  // Through the handle: a deleted service that has just stopped is still shown.
  return PrintService(service.get());
}

// boot: starts every automatic service that is not running.
DWORD Boot(SC_HANDLE manager) {
  std::vector<Row> rows;
  if (DWORD err = CollectRows(manager, &rows)) return err;
  DWORD result = 0;
  for (const Row& row : rows) {
    if (row.state != SERVICE_STOPPED) continue;
    Handle service(OpenServiceA(manager, row.name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_START));
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed + sizeof(QUERY_SERVICE_CONFIGA));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!service ||
        !QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
      if (result == 0) result = Failed("QueryServiceConfig");
      continue;
    }
    if (config->dwStartType != SERVICE_AUTO_START) continue;
    if (StartServiceA(service.get(), 0, nullptr)) {
      std::printf("[SC] StartService SUCCESS: %s\n", row.name.c_str());
    } else if (DWORD err = Failed("StartService"); result == 0) {
      result = err;
    }
  }
  return result;
}

DWORD Run(const std::vector<std::string>& args) {
  const std::string& command = args.empty() ? std::string() : args[0];
  bool one_name = command == "delete" || command == "start" || command == "stop";
  bool valid = (command == "create" && args.size() >= 3 && args.size() % 2 == 1) ||
               (one_name && args.size() == 2) || (command == "query" && args.size() <= 2) ||
               (command == "boot" && args.size() == 1);
  if (!valid) return Usage();
  // systemd starts its own automatic units at boot: boot is the embedded
  // manager's alone, even where systemd runs the machine.
  if (command == "boot") setenv("TARVO_SCM_BACKEND", "embedded", 1);
  DWORD access = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE;
  if (command == "create") access |= SC_MANAGER_CREATE_SERVICE;
  Handle manager(OpenSCManagerA(nullptr, nullptr, access));
  if (!manager) return Failed("OpenSCManager");
  if (command == "create") return Create(manager.get(), args);
  if (command == "query") return Query(manager.get(), args.size() == 2 ? &args[1] : nullptr);
  if (command == "boot") return Boot(manager.get());
  return Act(manager.get(), command, args[1]);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return ExitStatus(Run(args));
}
