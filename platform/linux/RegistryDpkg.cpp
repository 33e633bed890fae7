// The Uninstall key of the HKEY_LOCAL_MACHINE view, backed by the dpkg status
// database: one subkey per installed package with the three values a Windows
// uninstall entry offers to an inventory (DisplayName, DisplayVersion,
// Publisher).
#include "platform/linux/RegistryInventory.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>

#include "platform/FileAccess.h"
#include "platform/linux/ProcReaders.h"

namespace platform {
namespace {

constexpr std::string_view kStatusFile = "var/lib/dpkg/status";

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The fields of one stanza that the inventory needs; views into the text.
struct Stanza {
  std::string_view package;
  std::string_view status;
  std::string_view architecture;
  std::optional<std::string_view> version;
  std::optional<std::string_view> maintainer;
};

// "want flag state": the package is on the system when its state is
// "installed", whatever is wanted of it next (install, hold, deinstall).
bool IsInstalled(std::string_view status) {
  const size_t blank = status.find_last_of(" \t");
  const std::string_view state =
      blank == std::string_view::npos ? status : status.substr(blank + 1);
  return state == "installed";
}

std::optional<std::string> Owned(const std::optional<std::string_view>& text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

// The file's identity and age, to notice a rewritten database.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

FileStamp StampOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return FileStamp{true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

// The dpkg status database of a large machine runs to tens of megabytes.
constexpr size_t kMaxStatusBytes = size_t{256} << 20;

std::optional<std::string> ReadWholeFile(const std::string& path) {
  return ReadFileText(path, kMaxStatusBytes);
}

// The parsed database with its subkey names and a lookup by name.
struct PackageTable {
  std::vector<InstalledPackage> packages;
  std::vector<std::string> names;                   // subkey names, in file order
  std::unordered_map<std::string, size_t> by_name;  // lower-case name -> index

  explicit PackageTable(std::vector<InstalledPackage> parsed) {
    // A package installed for two architectures appears twice; such entries are
    // named package:architecture so that every subkey name is unique.
    std::unordered_map<std::string, int> count;
    for (const InstalledPackage& package : parsed) ++count[LowerAscii(package.Package)];
    for (InstalledPackage& package : parsed) {
      std::string name = package.Package;
      if (count[LowerAscii(name)] > 1) name += ":" + package.Architecture;
      if (!by_name.emplace(LowerAscii(name), packages.size()).second) continue;  // a repeat
      names.push_back(std::move(name));
      packages.push_back(std::move(package));
    }
  }

  const InstalledPackage* Find(std::string_view name) const {
    const auto found = by_name.find(LowerAscii(name));
    return found == by_name.end() ? nullptr : &packages[found->second];
  }
};

class InstalledPackagesRegistry : public RegistrySource {
 public:
  explicit InstalledPackagesRegistry(std::string root)
      : path_(root + (root.empty() || root.back() != '/' ? "/" : "") + std::string(kStatusFile)) {}

  std::optional<std::vector<std::string>> SubKeys(std::string_view path) const override {
    const std::vector<std::string> components = SplitKeyPath(path);
    const std::shared_ptr<const PackageTable> table = Current();
    if (components.empty()) return table->names;
    if (components.size() == 1 && table->Find(components[0]) != nullptr) {
      return std::vector<std::string>{};
    }
    return std::nullopt;
  }

  std::optional<RegistryValue> Value(std::string_view path, std::string_view name) const override {
    const std::vector<std::string> components = SplitKeyPath(path);
    if (components.size() != 1) return std::nullopt;
    const std::shared_ptr<const PackageTable> table = Current();
    const InstalledPackage* package = table->Find(components[0]);
    if (package == nullptr) return std::nullopt;
    if (KeyNamesEqual(name, "DisplayName")) return RegSzValue(package->Package);
    if (KeyNamesEqual(name, "DisplayVersion") && package->Version) {
      return RegSzValue(*package->Version);
    }
    if (KeyNamesEqual(name, "Publisher") && package->Maintainer) {
      return RegSzValue(*package->Maintainer);
    }
    return std::nullopt;
  }

 private:
  // The table of the database as it is now; parsed again only when the file
  // has changed since the last look, so that enumerating hundreds of subkeys
  // costs one stat per call.
  std::shared_ptr<const PackageTable> Current() const {
    const FileStamp stamp = StampOf(path_);
    std::lock_guard lock(mutex_);
    if (table_ && stamp == stamp_) return table_;
    std::vector<InstalledPackage> parsed;
    if (stamp.exists) {
      if (std::optional<std::string> text = ReadWholeFile(path_)) parsed = ParseDpkgStatus(*text);
    }
    table_ = std::make_shared<const PackageTable>(std::move(parsed));
    stamp_ = stamp;
    return table_;
  }

  std::string path_;
  mutable std::mutex mutex_;
  mutable FileStamp stamp_;
  mutable std::shared_ptr<const PackageTable> table_;
};

}  // namespace

std::vector<InstalledPackage> ParseDpkgStatus(std::string_view text) {
  std::vector<InstalledPackage> packages;
  Stanza stanza;
  const auto flush = [&] {
    if (!stanza.package.empty() && IsInstalled(stanza.status)) {
      packages.push_back({std::string(stanza.package), std::string(stanza.architecture),
                          Owned(stanza.version), Owned(stanza.maintainer)});
    }
    stanza = Stanza{};
  };

  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (TrimWhite(line).empty()) {  // a blank line ends the stanza
      flush();
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') continue;  // continuation of a long field
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view field = line.substr(0, colon);
    const std::string_view value = TrimWhite(line.substr(colon + 1));
    if (KeyNamesEqual(field, "Package")) {
      stanza.package = value;
    } else if (KeyNamesEqual(field, "Status")) {
      stanza.status = value;
    } else if (KeyNamesEqual(field, "Architecture")) {
      stanza.architecture = value;
    } else if (KeyNamesEqual(field, "Version")) {
      stanza.version = value;
    } else if (KeyNamesEqual(field, "Maintainer")) {
      stanza.maintainer = value;
    }
  }
  flush();
  return packages;
}

std::shared_ptr<const RegistrySource> InstalledPackagesSource(std::string root) {
  return std::make_shared<InstalledPackagesRegistry>(std::move(root));
}

}  // namespace platform
