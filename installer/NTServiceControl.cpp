#include "installer/NTServiceControl.h"

#include <vector>

#include "common/ServicesWin32.h"
#include "platform/ServiceManager.h"
#include "platform/SystemInfo.h"

namespace installer {
namespace {

using platform::DWORD;
using platform::SC_HANDLE;

// The configuration is read in records of this size, as many as it needs.
constexpr DWORD kConfigRecordBytes = 36;

// Runs action on the service opened with the given rights (the manager with
// connect rights); returns the failing step's error code or 0.
template <typename Action>
DWORD WithService(const std::string& service_name, DWORD access, Action action) {
  common::ScHandle manager(platform::OpenSCManagerA(nullptr, nullptr, platform::SC_MANAGER_CONNECT));
  if (!manager) return platform::GetLastError();
  common::ScHandle service(platform::OpenServiceA(manager.get(), service_name.c_str(), access));
  if (!service) return platform::GetLastError();
  return action(service.get());
}

}  // namespace

DWORD CheckServiceInstalled(const std::string& service_name, std::string* account) {
  return WithService(service_name, platform::SERVICE_QUERY_CONFIG, [&](SC_HANDLE service) -> DWORD {
    std::vector<unsigned char> buffer(kConfigRecordBytes);
    DWORD needed = 0;
    auto read = [&] {
      return platform::QueryServiceConfigA(
          service, reinterpret_cast<platform::QUERY_SERVICE_CONFIGA*>(buffer.data()),
          static_cast<DWORD>(buffer.size()), &needed);
    };
    if (!read()) {
      if (platform::GetLastError() != platform::ERROR_INSUFFICIENT_BUFFER) {
        return platform::GetLastError();
      }
      buffer.assign((needed / kConfigRecordBytes + 1) * kConfigRecordBytes, 0);
      if (!read()) return platform::GetLastError();
    }
    const auto* config = reinterpret_cast<const platform::QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (account != nullptr && config->lpServiceStartName != nullptr) {
      *account = config->lpServiceStartName;
    }
    return 0;
  });
}

int32_t QueryServiceState(const std::string& service_name) {
  int32_t state = 0;
  WithService(service_name, platform::SERVICE_QUERY_STATUS, [&](SC_HANDLE service) -> DWORD {
    platform::SERVICE_STATUS status{};
    if (platform::QueryServiceStatus(service, &status)) {
      state = static_cast<int32_t>(status.dwCurrentState);
    }
    return 0;
  });
  return state;
}

DWORD InstallService(const std::string& service_name, const std::string& binary_path,
                     std::string& account, const std::string& password) {
  account = QualifiedAccount(account, GetLogonDomain());
  common::ScHandle manager(
      platform::OpenSCManagerA(nullptr, nullptr, platform::SC_MANAGER_CREATE_SERVICE));
  if (!manager) return platform::GetLastError();
  common::ScHandle service(platform::CreateServiceA(
      manager.get(), service_name.c_str(), service_name.c_str(), platform::SERVICE_ALL_ACCESS,
      platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_AUTO_START,
      platform::SERVICE_ERROR_NORMAL, binary_path.c_str(), nullptr, nullptr, nullptr,
      account.c_str(), password.c_str()));
  if (!service) return platform::GetLastError();
  if (service_name == kAgentServiceName) {
    std::string text = kAgentServiceDescription;
    platform::SERVICE_DESCRIPTIONA description{text.data()};
    platform::ChangeServiceConfig2A(service.get(), platform::SERVICE_CONFIG_DESCRIPTION,
                                    &description);
  }
  return 0;
}

DWORD UninstallService(const std::string& service_name) {
  return WithService(service_name, platform::SERVICE_ALL_ACCESS, [](SC_HANDLE service) -> DWORD {
    platform::SERVICE_STATUS status{};
    platform::ControlService(service, platform::SERVICE_CONTROL_STOP, &status);
    return platform::DeleteService(service) ? 0 : platform::GetLastError();
  });
}

DWORD StartServiceByName(const std::string& service_name) {
  return WithService(service_name, platform::SERVICE_START, [](SC_HANDLE service) -> DWORD {
    return platform::StartServiceA(service, 0, nullptr) ? 0 : platform::GetLastError();
  });
}

DWORD StopServiceByName(const std::string& service_name) {
  return WithService(service_name, platform::SERVICE_STOP, [](SC_HANDLE service) -> DWORD {
    platform::SERVICE_STATUS status{};
    return platform::ControlService(service, platform::SERVICE_CONTROL_STOP, &status)
               ? 0
               : platform::GetLastError();
  });
}

ServiceReading ReadService(const std::string& service_name) {
  ServiceReading reading;
  reading.Installed = CheckServiceInstalled(service_name, &reading.Account) == 0;
  if (reading.Installed) reading.State = QueryServiceState(service_name);
  return reading;
}

std::string GetLogonDomain() { return platform::LogonDomain(); }

std::string GetShortPath(const std::string& path) { return path; }

std::string QualifiedAccount(const std::string& account, const std::string& logon_domain) {
  if (account == "LocalSystem" || account.find('\\') != std::string::npos) return account;
  return (logon_domain.empty() ? std::string(".") : logon_domain) + "\\" + account;
}

}  // namespace installer
