#include "platform/Drives.h"

#include <gtest/gtest.h>
#include <filesystem>

#include "tests/support/TempFolder.h"

namespace platform {
namespace {

// A desktop machine: pseudo filesystems, two partitions, a USB stick with a
// blank in its label, a bind mount of the home partition, and a loop image.
constexpr std::string_view kDesktopMounts =
    "sysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
    "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
    "udev /dev devtmpfs rw,nosuid,relatime,size=8099520k 0 0\n"
    "/dev/nvme0n1p2 / ext4 rw,relatime,errors=remount-ro 0 0\n"
    "tmpfs /run tmpfs rw,nosuid,nodev,noexec,relatime 0 0\n"
    "cgroup2 /sys/fs/cgroup cgroup2 rw,nosuid,nodev,noexec,relatime 0 0\n"
    "/dev/nvme0n1p1 /boot/efi vfat rw,relatime,fmask=0077 0 0\n"
    "/dev/mapper/vg-home /home xfs rw,relatime 0 0\n"
    "/dev/sdb1 /media/user/MY\\040STICK vfat rw,nosuid,nodev 0 0\n"
    "/dev/mapper/vg-home /srv/home-bind xfs rw,relatime 0 0\n"
    "/dev/loop3 /snap/core/123 squashfs ro,nodev,relatime 0 0\n"
    "/dev/nvme0n1p2 /var/lib/docker ext4 rw,relatime 0 0\n"
    "garbage-line\n";

// A container: overlay root listed after other mounts, bind-mounted files from
// the host's disk.
constexpr std::string_view kContainerMounts =
    "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
    "overlay / overlay rw,relatime,lowerdir=/var/lib/docker/l/A:/var/lib/docker/l/B 0 0\n"
    "tmpfs /dev tmpfs rw,nosuid,size=65536k,mode=755 0 0\n"
    "/dev/vda1 /etc/resolv.conf ext4 rw,relatime 0 0\n"
    "/dev/vda1 /etc/hostname ext4 rw,relatime 0 0\n"
    "/dev/vda1 /etc/hosts ext4 rw,relatime 0 0\n";

std::vector<std::string> Summaries(const std::vector<DriveInfo>& drives) {
  std::vector<std::string> out;
  for (const DriveInfo& d : drives) {
    out.push_back(d.Path + " " + d.DriveLetter + " " + d.FileSystem + " " + d.VolumeName);
  }
  return out;
}

TEST(ParseMountTable, DecodesOctalEscapesAndSkipsShortLines) {
  const std::vector<MountEntry> mounts = ParseMountTable(
      "/dev/sdc1 /mnt/a\\040b\\011c\\134d ext4 rw 0 0\n"
      "short line\n"
      "\n"
      "/dev/sdd1 /mnt/odd\\04 ext4 rw 0 0");
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].Device, "/dev/sdc1");
  EXPECT_EQ(mounts[0].MountPoint, "/mnt/a b\tc\\d");
  EXPECT_EQ(mounts[0].FileSystem, "ext4");
  EXPECT_EQ(mounts[1].MountPoint, "/mnt/odd\\04");  // not a complete escape: kept
}

TEST(SelectDrives, PutsRootFirstThenEachFurtherDeviceOnceInTableOrder) {
  EXPECT_EQ(Summaries(SelectDrives(ParseMountTable(kDesktopMounts))),
            (std::vector<std::string>{"C: C ext4 /", "D: D vfat /boot/efi", "E: E xfs /home",
                                      "F: F vfat /media/user/MY STICK"}));
}

TEST(SelectDrives, TakesAnOverlayRootAndSharedHostDiskOnce) {
  EXPECT_EQ(Summaries(SelectDrives(ParseMountTable(kContainerMounts))),
            (std::vector<std::string>{"C: C overlay /", "D: D ext4 /etc/resolv.conf"}));
}

TEST(SelectDrives, StopsAtDriveZ) {
  std::string table = "/dev/sda1 / ext4 rw 0 0\n";
  for (int i = 0; i < 40; ++i) {
    table += "/dev/sdx" + std::to_string(i) + " /mnt/" + std::to_string(i) + " ext4 rw 0 0\n";
  }
  const std::vector<DriveInfo> drives = SelectDrives(ParseMountTable(table));
  ASSERT_EQ(drives.size(), 24u);
  EXPECT_EQ(drives.back().Path, "Z:");
}

TEST(ListDrives, ReportsTheRootOfThisMachineAsAReadyDriveC) {
  const std::vector<DriveInfo> drives = ListDrives();
  ASSERT_FALSE(drives.empty());
  EXPECT_EQ(drives[0].Path, "C:");
  EXPECT_EQ(drives[0].VolumeName, "/");
  EXPECT_TRUE(drives[0].IsReady);
  EXPECT_GT(drives[0].TotalSize, 0u);
  EXPECT_LE(drives[0].FreeSpace, drives[0].TotalSize);
}

TEST(ListDrives, ReadsTheMountTableBelowTheGivenRoot) {
  testsupport::TempFolder root;
  std::filesystem::create_directories(root.Path("proc/self"));
  std::filesystem::create_directories(root.Path("data"));
  testsupport::WriteAll(root.Path("proc/self/mounts"),
                        "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /data xfs rw 0 0\n"
                        "/dev/sdc1 /gone ext4 rw 0 0\n");
  const std::vector<DriveInfo> drives = ListDrives(root.path());
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_TRUE(drives[0].IsReady);
  EXPECT_TRUE(drives[1].IsReady);
  EXPECT_EQ(drives[1].FileSystem, "xfs");
  EXPECT_FALSE(drives[2].IsReady);  // its mount point is not there
  EXPECT_EQ(drives[2].TotalSize, 0u);
}

}  // namespace
}  // namespace platform
