#include "agent/RegistryDeclaration.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

using platform::DWORD;
using platform::HKEY;
using platform::LSTATUS;

struct InventoryValues {
  const char* child;  // appended to each subkey's name; "" for the subkey itself
  const char* name;
  const char* version;
  const char* vendor;
};

constexpr InventoryValues kSoftwareValues{"", "DisplayName", "DisplayVersion", "Publisher"};
constexpr InventoryValues kHardwareValues{"\\0000", "DriverDesc", "DriverVersion", "ProviderName"};

const InventoryValues& ValuesOf(InventoryKind kind) {
  return kind == InventoryKind::kSoftware ? kSoftwareValues : kHardwareValues;
}

// The walk only reads, so it asks only for read access: the Windows code asks
// for 63 (set value and create subkey too), which a read-only registry (and
// Windows itself, for an account that is not an administrator) refuses.
constexpr platform::REGSAM kWalkAccess = platform::KEY_READ;

constexpr DWORD kNameChars = 256;  // longest key name and its NUL
// The index is a 16-bit signed counter: at most 32767 subkeys are visited.
constexpr DWORD kMostSubkeys = 32767;

// Closes an opened key when it goes.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (key_ != nullptr) platform::RegCloseKey(key_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A value's data as text: a number as its decimal digits, anything else as its
// bytes up to the first zero byte. Nothing when the key lacks the value.
std::optional<std::string> ReadTextValue(HKEY key, const char* value_name) {
  DWORD type = 0;
  DWORD size = 0;
  if (platform::RegQueryValueExA(key, value_name, nullptr, &type, nullptr, &size) !=
      platform::ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::string data(size, '\0');
  if (platform::RegQueryValueExA(key, value_name, nullptr, &type,
                                 reinterpret_cast<platform::BYTE*>(data.data()),
                                 &size) != platform::ERROR_SUCCESS) {
    return std::nullopt;
  }
  data.resize(std::min<size_t>(size, data.size()));
  if (type == platform::REG_DWORD && data.size() == sizeof(DWORD)) {
    DWORD number = 0;
    std::memcpy(&number, data.data(), sizeof(number));
    return std::to_string(number);
  }
  const size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

// The inventory line of one subkey; empty when it has no name value.
std::string InventoryLine(HKEY key, const InventoryValues& values) {
  const std::optional<std::string> name = ReadTextValue(key, values.name);
  if (!name) return {};
  const std::optional<std::string> version = ReadTextValue(key, values.version);
  const std::optional<std::string> vendor = ReadTextValue(key, values.vendor);
  std::string line = *name;
  if (version) line += " (" + *version + ")";
  if (vendor) line += "  ||  " + *vendor;
  line += "\r\n";
  return line;
}

}  // namespace

std::string EnumerateInventoryKey(HKEY hive, const std::string& key_path, InventoryKind kind) {
  const InventoryValues& values = ValuesOf(kind);
  KeyHandle key;
  if (platform::RegOpenKeyExA(hive, key_path.c_str(), 0, kWalkAccess, key.out()) !=
      platform::ERROR_SUCCESS) {
    common::WriteLog("Unable to open a subkey", 1);
    return {};
  }

  std::string text;
  for (DWORD index = 0; index < kMostSubkeys; ++index) {
    char name[kNameChars] = {};
    DWORD name_size = kNameChars;
    const LSTATUS answer = platform::RegEnumKeyExA(key.get(), index, name, &name_size, nullptr,
                                                   nullptr, nullptr, nullptr);
    if (answer == platform::ERROR_MORE_DATA) continue;  // a name too long to hold: skipped
    if (answer != platform::ERROR_SUCCESS) {
      // 259 (no more items) is the normal end of the walk, not a failure.
      const int16_t level = answer == static_cast<LSTATUS>(platform::ERROR_NO_MORE_ITEMS) ? 2 : 1;
      common::WriteLog(
          "EnumKeys Error - " + std::to_string(answer) + " " + common::GeneralDateTextNow(), level);
      break;
    }
    const std::string subkey_path =
        key_path + "\\" + std::string(name, strnlen(name, kNameChars)) + values.child;
    KeyHandle subkey;
    if (platform::RegOpenKeyExA(hive, subkey_path.c_str(), 0, platform::KEY_READ, subkey.out()) !=
        platform::ERROR_SUCCESS) {
      continue;
    }
    text += InventoryLine(subkey.get(), values);
  }
  return text;
}

std::string SoftwareInventory() {
  return EnumerateInventoryKey(platform::HKEY_LOCAL_MACHINE, kUninstallKey,
                               InventoryKind::kSoftware);
}

std::string HardwareInventory() {
  return EnumerateInventoryKey(platform::HKEY_LOCAL_MACHINE, kDeviceClassKey,
                               InventoryKind::kHardware);
}

}  // namespace agent
