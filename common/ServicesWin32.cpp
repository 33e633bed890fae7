#include "common/ServicesWin32.h"

#include <array>
#include <vector>

#include "common/WriteLog.h"
#include "platform/ServiceManager.h"

namespace common {
namespace {

using platform::DWORD;
using platform::SC_HANDLE;

struct StateTexts {
  std::string_view sentence;  // QueryService
  std::string_view word;      // ListServicesText
};

// Indexed by the current-state number 1..7.
constexpr std::array<StateTexts, 8> kStateTexts{{
    {"", ""},
    {"Service Is Stopped", "stopped"},
    {"Service Start Pending", "startpend"},
    {"Service Stop Pending", "stoppend"},
    {"Service Is Running", "running"},
    {"Service Continue Pending", "contpend"},
    {"Service Pause Pending", "pausepend"},
    {"Service Paused", "paused"},
}};

constexpr std::string_view kNotFound = "Service Not Found";
constexpr const char* kActiveDatabase = "ServicesActive";

// The enumeration buffer is sized in units of the 32-bit entry size, as the
// Windows code does. The manager reports the bytes it needs in its own layout
// (48-byte entries on 64-bit builds plus the strings), and (needed / 36 + 1) * 36
// is always more than needed, so the buffer still fits every entry.
constexpr DWORD kEnumEntryUnit = 36;

StateTexts TextsOf(DWORD state) {
  return state < kStateTexts.size() ? kStateTexts[state] : kStateTexts[0];
}

// A service that runs without a desktop has nobody to show an alert to: the
// alert becomes a level-1 log line, the text followed by the error number.
void Alert(std::string_view text, DWORD error) {
  std::string line(text);
  line += std::to_string(error);
  WriteLog(line, 1);
}

enum class ServiceAction { kStop, kStart };

// Opens the manager with connect rights and the service with all access, as the
// query does, reads the status (unused) and sends the stop or the start.
void ControlNamedService(const std::string& service_name, const std::string& machine_name,
                         ServiceAction action) {
  ScHandle manager(platform::OpenSCManagerA(machine_name.c_str(), kActiveDatabase,
                                            platform::SC_MANAGER_CONNECT));
  ScHandle service(
      platform::OpenServiceA(manager.get(), service_name.c_str(), platform::SERVICE_ALL_ACCESS));
  if (!service) return;
  platform::SERVICE_STATUS status{};
  platform::QueryServiceStatus(service.get(), &status);
  if (action == ServiceAction::kStop) {
    platform::ControlService(service.get(), platform::SERVICE_CONTROL_STOP, &status);
  } else {
    platform::StartServiceA(service.get(), 0, nullptr);
  }
}

}  // namespace

std::string QueryService(const std::string& service_name, const std::string& machine_name) {
  WriteLog("QueryService: (inicio) " + service_name, 4);
  ScHandle manager(platform::OpenSCManagerA(machine_name.c_str(), kActiveDatabase,
                                            platform::SC_MANAGER_CONNECT));
  WriteLog("QueryService: (introducao) " + service_name, 4);
  ScHandle service(
      platform::OpenServiceA(manager.get(), service_name.c_str(), platform::SERVICE_ALL_ACCESS));
  WriteLog("QueryService: (desenvolvimento) " + service_name, 4);
  platform::SERVICE_STATUS status{};
  if (service) platform::QueryServiceStatus(service.get(), &status);
  WriteLog("QueryService: (fim) " + service_name, 4);
  // A missing manager, an unknown name and refused all-access rights read alike.
  if (!service) return std::string(kNotFound);
  return std::string(TextsOf(status.dwCurrentState).sentence);
}

void StopNamedService(const std::string& service_name, const std::string& machine_name) {
  ControlNamedService(service_name, machine_name, ServiceAction::kStop);
}

void StartNamedService(const std::string& service_name, const std::string& machine_name) {
  ControlNamedService(service_name, machine_name, ServiceAction::kStart);
}

std::string ListServicesText() {
  ScHandle manager(
      platform::OpenSCManagerA(nullptr, nullptr, platform::SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) {
    Alert("OpenSCManager failed; error = ", platform::GetLastError());
    return {};
  }

  DWORD needed = 0;
  DWORD returned = 0;
  DWORD resume = 0;
  // The probe without a buffer must fail with "more data"; when it succeeds
  // there is nothing to list, and the alert names error 0.
  const bool probe_ok = platform::EnumServicesStatusA(
                            manager.get(), platform::SERVICE_WIN32, platform::SERVICE_STATE_ALL,
                            nullptr, 0, &needed, &returned, &resume) != platform::FALSE;
  const DWORD probe_error = probe_ok ? platform::ERROR_SUCCESS : platform::GetLastError();
  if (probe_error != platform::ERROR_MORE_DATA) {
    Alert("ERROR_MORE_DATA not returned; error ", probe_error);
    return {};
  }

  const DWORD buffer_bytes = (needed / kEnumEntryUnit + 1) * kEnumEntryUnit;
  // Whole entries, so that the buffer is aligned for the pointers it holds.
  std::vector<platform::ENUM_SERVICE_STATUSA> buffer(
      (buffer_bytes + sizeof(platform::ENUM_SERVICE_STATUSA) - 1) /
      sizeof(platform::ENUM_SERVICE_STATUSA));
  resume = 0;
  if (!platform::EnumServicesStatusA(manager.get(), platform::SERVICE_WIN32,
                                     platform::SERVICE_STATE_ALL, buffer.data(), buffer_bytes,
                                     &needed, &returned, &resume)) {
    Alert("EnumServicesStatus; error ", platform::GetLastError());
    return {};
  }

  std::string text;
  for (DWORD i = 0; i < returned; ++i) {
    const platform::ENUM_SERVICE_STATUSA& entry = buffer[i];
    text += entry.lpDisplayName != nullptr ? entry.lpDisplayName : "";
    text += " | ";
    text += entry.lpServiceName != nullptr ? entry.lpServiceName : "";
    text += " | ";
    text += ShortServiceState(entry.ServiceStatus.dwCurrentState);
    text += "\r\n";
  }
  return text;
}

std::string_view ShortServiceState(DWORD state) {
  return TextsOf(state).word;
}

}  // namespace common
