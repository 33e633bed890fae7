#pragma once
// The software and hardware inventories, read from the local machine's
// registry: installed programs from the uninstall key, and one driver line per
// device class.

#include <string>

#include "platform/Registry.h"

namespace agent {

inline constexpr const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr const char* kDeviceClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class";

// Which values make up an inventory line, and where they are read.
enum class InventoryKind {
  kSoftware,  // each subkey: DisplayName, DisplayVersion, Publisher
  kHardware,  // each subkey's "0000" child: DriverDesc, DriverVersion, ProviderName
};

// Walks the subkeys of hive\key_path by index and returns one line per subkey
// that has a name value: name, " (" version ")" when there is a version,
// "  ||  " and the vendor when there is a vendor, and CR LF. Every call starts from
// empty text. The end of the subkeys is logged at level 2 ("EnumKeys Error - 259
// " and the date), any other enumeration answer at level 1; a key that cannot
// be opened logs "Unable to open a subkey" at level 1 and gives empty text.
std::string EnumerateInventoryKey(platform::HKEY hive, const std::string& key_path,
                                  InventoryKind kind);

// The installed programs of the local machine (EnumerateInventoryKey over the
// uninstall key).
std::string SoftwareInventory();

// The driver of the first device of each device class of the local machine
// (EnumerateInventoryKey over the class key).
std::string HardwareInventory();

}  // namespace agent
