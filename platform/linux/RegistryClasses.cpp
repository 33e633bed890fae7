// The Class key of the HKEY_LOCAL_MACHINE view, backed by /sys/class: one
// subkey per device class, and below it "0000", the driver of the class's first
// device with a bound driver, as Windows keeps the first instance of a class.
#include "platform/linux/RegistryInventory.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <utility>

#include "platform/FileAccess.h"
#include "platform/linux/ProcReaders.h"

namespace platform {
namespace {

constexpr std::string_view kFirstInstance = "0000";
// The PCI id database is about a megabyte and a half.
constexpr size_t kMaxPciIdsBytes = size_t{64} << 20;

// The first line of a small attribute file without its surrounding blanks;
// nothing when the file is missing or blank.
std::optional<std::string> ReadAttribute(const std::string& path) {
  const std::optional<std::string> text = ReadFileText(path, kMaxProcTextBytes);
  if (!text) return std::nullopt;
  const std::string_view trimmed = TrimWhite(std::string_view(*text).substr(0, text->find('\n')));
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

// The last component of a symbolic link's target; nothing when path is no link.
std::optional<std::string> LinkTargetName(const std::string& path) {
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
  if (length <= 0) return std::nullopt;
  std::string_view text(target.data(), static_cast<size_t>(length));
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  const size_t slash = text.rfind('/');
  if (slash != std::string_view::npos) text.remove_prefix(slash + 1);
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

std::vector<std::string> SortedEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// The class folder's own name for a key name given in any letter case.
std::optional<std::string> ResolveClass(const std::string& root, std::string_view key_name) {
  for (const std::string& name : ReadDeviceClasses(root)) {
    if (KeyNamesEqual(name, key_name)) return name;
  }
  return std::nullopt;
}

std::optional<unsigned> ParseHexId(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return value;
}

// Vendors found on common machines and virtual machines, for systems without
// the pci.ids database.
constexpr std::pair<unsigned, std::string_view> kKnownVendors[] = {
    {0x1000, "Broadcom / LSI"},
    {0x1002, "Advanced Micro Devices, Inc. [AMD/ATI]"},
    {0x1022, "Advanced Micro Devices, Inc. [AMD]"},
    {0x106b, "Apple Inc."},
    {0x10de, "NVIDIA Corporation"},
    {0x10ec, "Realtek Semiconductor Co., Ltd."},
    {0x1234, "Technical Corp."},
    {0x1414, "Microsoft Corporation"},
    {0x144d, "Samsung Electronics Co Ltd"},
    {0x14e4, "Broadcom Inc. and subsidiaries"},
    {0x15ad, "VMware"},
    {0x168c, "Qualcomm Atheros"},
    {0x1ae0, "Google, Inc."},
    {0x1af4, "Red Hat, Inc."},
    {0x1b36, "Red Hat, Inc."},
    {0x1d0f, "Amazon.com, Inc."},
    {0x8086, "Intel Corporation"},
    {0x80ee, "InnoTek Systemberatung GmbH"},
};

// Looks the vendor up in a pci.ids file: vendor lines start at the first
// column with four hex digits and two blanks.
std::optional<std::string> VendorFromPciIds(const std::string& path, unsigned vendor_id) {
  const std::optional<std::string> text = ReadFileText(path, kMaxPciIdsBytes);
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.size() < 7 || line[4] != ' ' || line[5] != ' ') continue;
    const std::optional<unsigned> id = ParseHexId(line.substr(0, 4));
    if (id && *id == vendor_id) {
      const std::string_view name = TrimWhite(line.substr(6));
      if (!name.empty()) return std::string(name);
    }
  }
  return std::nullopt;
}

// The vendor of a device: the manufacturer text (USB), the name of a PCI-style
// hex vendor id, or the vendor text (SCSI); nothing when /sys names none.
std::optional<std::string> DeviceVendor(const std::string& root, const std::string& device) {
  if (std::optional<std::string> text = ReadAttribute(JoinRoot(device, "manufacturer")))
    return text;
  const std::optional<std::string> vendor = ReadAttribute(JoinRoot(device, "vendor"));
  if (!vendor) return std::nullopt;
  if (vendor->rfind("0x", 0) == 0) {
    if (std::optional<unsigned> id = ParseHexId(*vendor)) return PciVendorName(root, *id);
    return std::nullopt;
  }
  return vendor;
}

class DeviceClassRegistry : public RegistrySource {
 public:
  explicit DeviceClassRegistry(std::string root) : root_(std::move(root)) {}

  std::optional<std::vector<std::string>> SubKeys(std::string_view path) const override {
    const std::vector<std::string> components = SplitKeyPath(path);
    if (components.empty()) return ReadDeviceClasses(root_);
    const std::optional<std::string> class_name = ResolveClass(root_, components[0]);
    if (!class_name || components.size() > 2) return std::nullopt;
    const bool has_driver = ReadClassDriver(root_, *class_name).has_value();
    if (components.size() == 1) {
      if (!has_driver) return std::vector<std::string>{};
      return std::vector<std::string>{std::string(kFirstInstance)};
    }
    if (has_driver && KeyNamesEqual(components[1], kFirstInstance)) {
      return std::vector<std::string>{};
    }
    return std::nullopt;
  }

  std::optional<RegistryValue> Value(std::string_view path, std::string_view name) const override {
    const std::vector<std::string> components = SplitKeyPath(path);
    if (components.size() != 2 || !KeyNamesEqual(components[1], kFirstInstance)) {
      return std::nullopt;
    }
    const std::optional<std::string> class_name = ResolveClass(root_, components[0]);
    if (!class_name) return std::nullopt;
    const std::optional<ClassDriver> driver = ReadClassDriver(root_, *class_name);
    if (!driver) return std::nullopt;
    if (KeyNamesEqual(name, "DriverDesc")) return RegSzValue(driver->DriverDesc);
    if (KeyNamesEqual(name, "DriverVersion") && !driver->DriverVersion.empty()) {
      return RegSzValue(driver->DriverVersion);
    }
    if (KeyNamesEqual(name, "ProviderName")) return RegSzValue(driver->ProviderName);
    return std::nullopt;
  }

 private:
  std::string root_;
};

}  // namespace

std::vector<std::string> ReadDeviceClasses(const std::string& root) {
  return SortedEntries(JoinRoot(root, "sys/class"));
}

std::optional<ClassDriver> ReadClassDriver(const std::string& root, std::string_view class_name) {
  const std::string class_folder = JoinRoot(JoinRoot(root, "sys/class"), class_name);
  for (const std::string& entry : SortedEntries(class_folder)) {
    const std::string entry_folder = JoinRoot(class_folder, entry);
    const std::string device = JoinRoot(entry_folder, "device");
    const std::optional<std::string> driver = LinkTargetName(JoinRoot(device, "driver"));
    if (!driver) continue;

    const std::optional<std::string> module =
        LinkTargetName(JoinRoot(JoinRoot(device, "driver"), "module"));
    ClassDriver found;
    found.DriverDesc = *driver;
    for (const std::string& model :
         {JoinRoot(device, "model"), JoinRoot(device, "product"), JoinRoot(entry_folder, "name")}) {
      if (std::optional<std::string> text = ReadAttribute(model)) {
        found.DriverDesc += " - " + *text;
        break;
      }
    }
    std::optional<std::string> version;
    if (module) version = ReadAttribute(JoinRoot(root, "sys/module/" + *module + "/version"));
    if (!version) version = ReadAttribute(JoinRoot(root, "proc/sys/kernel/osrelease"));
    found.DriverVersion = version.value_or("");
    found.ProviderName = DeviceVendor(root, device).value_or(module.value_or(*driver));
    return found;
  }
  return std::nullopt;
}

std::optional<std::string> PciVendorName(const std::string& root, unsigned vendor_id) {
  // pci.ids is large and does not change while the agent runs: remember answers.
  static std::mutex mutex;
  static std::map<std::pair<std::string, unsigned>, std::optional<std::string>> known;
  {
    std::lock_guard lock(mutex);
    const auto found = known.find({root, vendor_id});
    if (found != known.end()) return found->second;
  }
  std::optional<std::string> name;
  for (const char* database : {"usr/share/misc/pci.ids", "usr/share/hwdata/pci.ids"}) {
    name = VendorFromPciIds(JoinRoot(root, database), vendor_id);
    if (name) break;
  }
  if (!name) {
    for (const auto& [id, vendor] : kKnownVendors) {
      if (id == vendor_id) name = std::string(vendor);
    }
  }
  std::lock_guard lock(mutex);
  known.emplace(std::make_pair(root, vendor_id), name);
  return name;
}

std::shared_ptr<const RegistrySource> DeviceClassSource(std::string root) {
  return std::make_shared<DeviceClassRegistry>(std::move(root));
}

}  // namespace platform
