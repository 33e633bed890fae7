// The sources of this machine's HKEY_LOCAL_MACHINE view.

#include <mutex>

#include "platform/PerfData.h"
#include "platform/RegistryView.h"
#include "platform/linux/RegistryInventory.h"

namespace platform {
namespace {

constexpr const char* kPerflibKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";

// Perflib: the highest built-in indices and the English catalogue under "009".
std::shared_ptr<const RegistrySource> PerflibSource() {
  auto source = std::make_shared<StaticRegistrySource>();
  source->SetValue("", "Last Counter", RegDwordValue(1846));
  source->SetValue("", "Last Help", RegDwordValue(1847));
  source->SetValue("009", "Counter", RegMultiSzValue(PerfCounterCatalogue()));
  return source;
}

std::shared_ptr<const RegistryView> MachineView() {
  auto view = std::make_shared<RegistryView>();
  view->Mount(kPerflibKey, PerflibSource());
  view->Mount(kUninstallKeyPath, InstalledPackagesSource());
  view->Mount(kDeviceClassKeyPath, DeviceClassSource());
  return view;
}

std::mutex& ViewMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const RegistryView>& CurrentView() {
  static std::shared_ptr<const RegistryView> view;
  return view;
}

}  // namespace

std::shared_ptr<const RegistryView> LocalMachineView() {
  std::lock_guard lock(ViewMutex());
  if (!CurrentView()) CurrentView() = MachineView();
  return CurrentView();
}

void SetLocalMachineView(std::shared_ptr<const RegistryView> view) {
  std::lock_guard lock(ViewMutex());
  CurrentView() = std::move(view);
}

}  // namespace platform
