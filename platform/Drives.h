#pragma once
// The machine's drives in the manner of the Windows file-system object: "/" is
// C:, then every further real (block-device) filesystem in mount-table order is
// D:, E:, ...; pseudo filesystems are skipped and a device mounted twice counts
// once.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MountEntry {
  std::string Device;
  std::string MountPoint;
  std::string FileSystem;
};

struct DriveInfo {
  std::string Path;         // "C:"
  std::string DriveLetter;  // "C"
  bool IsReady = false;     // statvfs succeeded
  uint64_t FreeSpace = 0;   // bytes available to unprivileged users
  uint64_t TotalSize = 0;   // bytes
  std::string FileSystem;   // ext4, xfs, overlay ...
  std::string VolumeName;   // the mount point
};

// Parses a mount table in the /proc/self/mounts format (octal escapes decoded).
std::vector<MountEntry> ParseMountTable(std::string_view text);

// Picks the drives of a mount table, in drive-letter order, without sizes.
std::vector<DriveInfo> SelectDrives(const std::vector<MountEntry>& mounts);

// The drives of this machine with their sizes (mount table read below root).
std::vector<DriveInfo> ListDrives(const std::string& root = "/");

}  // namespace platform
