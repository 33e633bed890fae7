#include "tests/support/SystemdMock.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "platform/linux/SystemdBus.h"
#include "tests/support/Processes.h"

namespace testsupport {

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string ParametersJson(const std::string& unit_dir, const std::string& vendor_dir,
                           const std::vector<MockUnit>& units) {
  std::string json = "{\"unit_dir\": " + Quoted(unit_dir) + ", \"vendor_dir\": " +
                     Quoted(vendor_dir) + ", \"units\": [";
  for (size_t i = 0; i < units.size(); ++i) {
    if (i > 0) json += ", ";
    std::string aliases;
    for (const std::string& alias : units[i].aliases) {
      aliases += (aliases.empty() ? "" : ", ") + Quoted(alias);
    }
    json += "{\"id\": " + Quoted(units[i].id) + ", \"description\": " +
            Quoted(units[i].description) + ", \"active\": " + Quoted(units[i].active) +
            ", \"file_state\": " + Quoted(units[i].file_state) +
            ", \"loaded\": " + (units[i].loaded ? "true" : "false") + ", \"aliases\": [" +
            aliases + "]}";
  }
  return json + "]}";
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

}  // namespace

SystemdMock::SystemdMock(const std::vector<MockUnit>& units) {
  std::filesystem::create_directories(unit_dir());
  std::filesystem::create_directories(folder_.Path("vendor"));
  const std::string socket = folder_.Path("bus");
  bus_pid_ = StartProgram({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                           "--address=unix:path=" + socket},
                          {});
  struct stat info {};
  if (bus_pid_ <= 0 || !WaitUntil([&] { return stat(socket.c_str(), &info) == 0; })) return;

  for (const auto& [name, value] : Environment()) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
  }
  mock_pid_ = StartProgram({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template",
                            TARVO_SYSTEMD_MOCK, "-p",
                            ParametersJson(unit_dir(), folder_.Path("vendor"), units)},
                           Environment());
  ready_ = mock_pid_ > 0 && WaitUntil([] {
             platform::DWORD error = 0;
             return platform::systemd::ListServiceUnits(&error).has_value();
           });
}

SystemdMock::~SystemdMock() {
  Stop(mock_pid_);
  Stop(bus_pid_);
}

std::map<std::string, std::string> SystemdMock::Environment() const {
  return {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + folder_.Path("bus")},
          {"TARVO_SCM_BACKEND", "systemd"},
          {"TARVO_SYSTEMD_UNIT_DIR", unit_dir()}};
}

}  // namespace testsupport
