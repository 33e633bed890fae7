#pragma once
// The inventory keys of the HKEY_LOCAL_MACHINE view:
//   SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall  installed packages (dpkg)
//   SYSTEM\CurrentControlSet\Control\Class                device classes (/sys/class)
// Readers take a root folder ("/" on a live system) so tests can give them a
// fixture tree; parsers take the text.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryView.h"

namespace platform {

inline constexpr std::string_view kUninstallKeyPath =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr std::string_view kDeviceClassKeyPath = "SYSTEM\\CurrentControlSet\\Control\\Class";

// ---- installed packages -----------------------------------------------------

// One package of the dpkg status database whose status is "installed".
struct InstalledPackage {
  std::string Package;
  std::string Architecture;
  std::optional<std::string> Version;     // absent when the stanza has no Version
  std::optional<std::string> Maintainer;  // absent when the stanza has no Maintainer
};

// The installed packages of a dpkg status text, in file order. Stanzas whose
// Status does not end in "installed" (removed, half-installed, config-files,
// not-installed) are left out, as are stanzas without a Package field.
std::vector<InstalledPackage> ParseDpkgStatus(std::string_view text);

// The Uninstall key over root + "/var/lib/dpkg/status": one subkey per installed
// package, named after the package (package:architecture when the package is
// installed for several architectures), with DisplayName = Package,
// DisplayVersion = Version and Publisher = Maintainer. The database is read
// again whenever the file changes; without one the key is empty.
std::shared_ptr<const RegistrySource> InstalledPackagesSource(std::string root = "/");

// ---- device classes ---------------------------------------------------------

// The driver of the first device of a class with a bound driver.
struct ClassDriver {
  std::string DriverDesc;     // driver name, then " - " and the model text when /sys has one
  std::string DriverVersion;  // the module's version, else the kernel release
  std::string ProviderName;   // the vendor, else the driver's module (or driver) name
};

// The entries of root + "/sys/class", sorted by name.
std::vector<std::string> ReadDeviceClasses(const std::string& root);

// The driver of the first device (by name) of the class whose device has a
// bound driver (device/driver); nothing when no device of the class has one.
std::optional<ClassDriver> ReadClassDriver(const std::string& root, std::string_view class_name);

// The vendor name of a PCI vendor id (from pci.ids under root when present,
// else a small built-in table); nothing when unknown.
std::optional<std::string> PciVendorName(const std::string& root, unsigned vendor_id);

// The Class key over root + "/sys/class": one subkey per class; its "0000"
// child exists when the class has a device with a bound driver and holds
// DriverDesc, DriverVersion and ProviderName. Read afresh on every query.
std::shared_ptr<const RegistrySource> DeviceClassSource(std::string root = "/");

}  // namespace platform
