#include "platform/Drives.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <iterator>
#include <set>

#include "platform/FileAccess.h"
#include "platform/linux/FileSystemSizes.h"
#include "platform/linux/ProcReaders.h"

namespace platform {
namespace {

constexpr std::string_view kMountTable = "proc/self/mounts";

// Filesystems that hold no storage of their own, and read-only package images;
// they never become drives.
constexpr std::string_view kPseudoFileSystems[] = {
    "autofs", "binfmt_misc", "bpf",      "cgroup",          "cgroup2",     "configfs",  "debugfs",
    "devpts", "devtmpfs",    "efivarfs", "fusectl",         "hugetlbfs",   "mqueue",    "nsfs",
    "proc",   "pstore",      "ramfs",    "rpc_pipefs",      "securityfs",  "selinuxfs", "sysfs",
    "tmpfs",  "tracefs",     "squashfs", "fuse.gvfsd-fuse", "fuse.portal", "devfs",
};

bool IsPseudo(std::string_view file_system) {
  return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), file_system) !=
         std::end(kPseudoFileSystems);
}

// A filesystem on a block device: its source is a device node.
bool IsBlockDeviceMount(const MountEntry& mount) {
  return mount.Device.starts_with("/dev/") && !IsPseudo(mount.FileSystem);
}

bool IsOctalDigit(char c) {
  return c >= '0' && c <= '7';
}

// Decodes the \ooo escapes the kernel writes for blanks, tabs, line feeds and
// backslashes in a mount table field.
std::string Unescape(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i >= 4 && IsOctalDigit(field[i + 1]) &&
        IsOctalDigit(field[i + 2]) && IsOctalDigit(field[i + 3])) {
      text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// Splits a line at blanks and tabs, dropping empty pieces.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

std::string UnderRoot(const std::string& root, std::string_view path) {
  if (root.empty() || root == "/") return std::string(path);
  std::string joined = root;
  if (joined.back() == '/') joined.pop_back();
  if (!path.starts_with('/')) joined += '/';
  joined += path;
  return joined;
}

std::string ReadText(const std::string& path) {
  return ReadKernelFileText(path, kMaxProcTextBytes).value_or("");
}

}  // namespace

std::vector<MountEntry> ParseMountTable(std::string_view text) {
  std::vector<MountEntry> mounts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::vector<std::string_view> fields = Fields(text.substr(start, end - start));
    if (fields.size() >= 3) {
      mounts.push_back(MountEntry{Unescape(fields[0]), Unescape(fields[1]), Unescape(fields[2])});
    }
    start = end + 1;
  }
  return mounts;
}

std::vector<DriveInfo> SelectDrives(const std::vector<MountEntry>& mounts) {
  std::vector<DriveInfo> drives;
  std::set<std::string> devices_seen;

  // "/" is C:. When it is mounted more than once the last entry is the one in
  // effect.
  DriveInfo root;
  root.Path = "C:";
  root.DriveLetter = "C";
  root.VolumeName = "/";
  for (const MountEntry& mount : mounts) {
    if (mount.MountPoint != "/") continue;
    root.FileSystem = mount.FileSystem;
    devices_seen.clear();
    if (mount.Device.starts_with("/dev/")) devices_seen.insert(mount.Device);
  }
  drives.push_back(root);

  char letter = 'D';
  for (const MountEntry& mount : mounts) {
    if (letter > 'Z') break;
    if (mount.MountPoint == "/" || !IsBlockDeviceMount(mount)) continue;
    if (!devices_seen.insert(mount.Device).second) continue;
    DriveInfo drive;
    drive.DriveLetter = std::string(1, letter);
    drive.Path = drive.DriveLetter + ":";
    drive.FileSystem = mount.FileSystem;
    drive.VolumeName = mount.MountPoint;
    drives.push_back(std::move(drive));
    ++letter;
  }
  return drives;
}

std::vector<DriveInfo> ListDrives(const std::string& root) {
  std::vector<DriveInfo> drives =
      SelectDrives(ParseMountTable(ReadText(UnderRoot(root, kMountTable))));
  std::vector<std::string> paths;
  for (const DriveInfo& drive : drives) paths.push_back(UnderRoot(root, drive.VolumeName));
  const std::vector<std::optional<struct statvfs>> sizes = ReadFileSystemSizes(paths);
  for (size_t k = 0; k < drives.size(); ++k) {
    if (!sizes[k]) continue;
    drives[k].IsReady = true;
    drives[k].FreeSpace = static_cast<uint64_t>(sizes[k]->f_bavail) * sizes[k]->f_frsize;
    drives[k].TotalSize = static_cast<uint64_t>(sizes[k]->f_blocks) * sizes[k]->f_frsize;
  }
  return drives;
}

}  // namespace platform
