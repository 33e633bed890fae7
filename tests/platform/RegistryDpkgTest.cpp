#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Registry.h"
#include "platform/linux/RegistryInventory.h"
#include "tests/support/TempFolder.h"

namespace platform {
namespace {

// Three stanzas as dpkg writes them: continuation lines, conffiles, a package
// whose files are gone but whose configuration stays, and no final blank line.
constexpr std::string_view kCapturedStatus =
    "Package: adduser\n"
    "Status: install ok installed\n"
    "Priority: important\n"
    "Section: admin\n"
    "Installed-Size: 849\n"
    "Maintainer: Debian Adduser Developers <adduser@packages.debian.org>\n"
    "Architecture: all\n"
    "Multi-Arch: foreign\n"
    "Version: 3.134\n"
    "Depends: passwd\n"
    "Conffiles:\n"
    " /etc/deluser.conf 773fb95e98a27947de4a95abb3d3f2a2\n"
    "Description: add and remove users and groups\n"
    " This package includes the 'adduser' and 'deluser' commands.\n"
    " .\n"
    " Package: not-a-field\n"
    "\n"
    "Package: old-tool\n"
    "Status: deinstall ok config-files\n"
    "Architecture: amd64\n"
    "Version: 1.0-1\n"
    "\n"
    "Package: libc6\n"
    "Status: hold ok installed\n"
    "Maintainer: GNU Libc Maintainers <debian-glibc@lists.debian.org>\n"
    "Architecture: amd64\n"
    "Version: 2.36-9+deb12u4";

TEST(ParseDpkgStatus, KeepsInstalledPackagesWithTheirFieldsInFileOrder) {
  const std::vector<InstalledPackage> packages = ParseDpkgStatus(kCapturedStatus);
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_EQ(packages[0].Package, "adduser");
  EXPECT_EQ(packages[0].Version, "3.134");
  EXPECT_EQ(packages[0].Maintainer, "Debian Adduser Developers <adduser@packages.debian.org>");
  EXPECT_EQ(packages[0].Architecture, "all");
  // A held package is installed all the same.
  EXPECT_EQ(packages[1].Package, "libc6");
  EXPECT_EQ(packages[1].Version, "2.36-9+deb12u4");
}

TEST(ParseDpkgStatus, LeavesOutPackagesThatAreNotInstalled) {
  const std::string text =
      "Package: gone\nStatus: purge ok not-installed\n\n"
      "Package: broken\nStatus: install reinstreq half-installed\nVersion: 1\n\n"
      "Package: unpacked\nStatus: install ok unpacked\nVersion: 1\n\n"
      "Package: leaving\nStatus: deinstall ok installed\nVersion: 2\n\n"
      "Status: install ok installed\nVersion: 3\n\n";  // no Package field
  const std::vector<InstalledPackage> packages = ParseDpkgStatus(text);
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0].Package, "leaving");
}

TEST(ParseDpkgStatus, TellsAMissingFieldFromAnEmptyOne) {
  const std::vector<InstalledPackage> packages = ParseDpkgStatus(
      "Package: bare\nStatus: install ok installed\n\n"
      "\n\n"
      "Package: empty\nStatus: install ok installed\nMaintainer:\nVersion: 0\n");
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_FALSE(packages[0].Version.has_value());
  EXPECT_FALSE(packages[0].Maintainer.has_value());
  EXPECT_EQ(packages[1].Maintainer, "");
  EXPECT_EQ(packages[1].Version, "0");
}

// A status database below a fixture root.
class InstalledPackagesSourceTest : public ::testing::Test {
 protected:
  void WriteStatus(const std::string& text) {
    std::filesystem::create_directories(root_.Path("var/lib/dpkg"));
    // dpkg replaces the file as a whole; so does the test.
    const std::string fresh = root_.Path("var/lib/dpkg/status-new");
    testsupport::WriteAll(fresh, text);
    std::filesystem::rename(fresh, root_.Path("var/lib/dpkg/status"));
  }
  std::string Text(std::string_view key, std::string_view name) const {
    const std::optional<RegistryValue> value = source_->Value(key, name);
    if (!value) return "<absent>";
    EXPECT_EQ(value->Type, REG_SZ);
    return value->Data;
  }

  testsupport::TempFolder root_;
  std::shared_ptr<const RegistrySource> source_ = InstalledPackagesSource(root_.path());
};

TEST_F(InstalledPackagesSourceTest, GivesOneSubkeyPerInstalledPackageWithItsValues) {
  WriteStatus(std::string(kCapturedStatus));
  EXPECT_EQ(source_->SubKeys(""), (std::vector<std::string>{"adduser", "libc6"}));
  EXPECT_EQ(source_->SubKeys("LIBC6"), std::vector<std::string>{});
  EXPECT_FALSE(source_->SubKeys("old-tool").has_value());
  EXPECT_FALSE(source_->SubKeys("adduser\\deeper").has_value());
  EXPECT_EQ(Text("adduser", "DisplayName"), std::string("adduser") + '\0');
  EXPECT_EQ(Text("Adduser", "displayversion"), std::string("3.134") + '\0');
  EXPECT_EQ(Text("libc6", "Publisher"),
            std::string("GNU Libc Maintainers <debian-glibc@lists.debian.org>") + '\0');
  EXPECT_EQ(Text("libc6", "UninstallString"), "<absent>");
  EXPECT_EQ(Text("", "DisplayName"), "<absent>");
}

TEST_F(InstalledPackagesSourceTest, NamesAPackageOfSeveralArchitecturesByArchitecture) {
  WriteStatus(
      "Package: libc6\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.36\n\n"
      "Package: libc6\nStatus: install ok installed\nArchitecture: i386\nVersion: 2.36\n\n"
      "Package: zlib1g\nStatus: install ok installed\nArchitecture: amd64\nVersion: 1.2\n");
  EXPECT_EQ(source_->SubKeys(""),
            (std::vector<std::string>{"libc6:amd64", "libc6:i386", "zlib1g"}));
  EXPECT_EQ(Text("libc6:i386", "DisplayName"), std::string("libc6") + '\0');
}

TEST_F(InstalledPackagesSourceTest, ReadsTheDatabaseAgainWhenItChanges) {
  EXPECT_EQ(source_->SubKeys(""), std::vector<std::string>{});  // no database yet
  WriteStatus("Package: one\nStatus: install ok installed\nVersion: 1\n");
  EXPECT_EQ(source_->SubKeys(""), std::vector<std::string>{"one"});
  WriteStatus(
      "Package: one\nStatus: install ok installed\nVersion: 2\n\n"
      "Package: two\nStatus: install ok installed\nVersion: 1\n");
  EXPECT_EQ(source_->SubKeys(""), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(Text("one", "DisplayVersion"), std::string("2") + '\0');
}

TEST_F(InstalledPackagesSourceTest, HandlesALargeDatabase) {
  // 6000 packages with long descriptions: about 10 MB, more than most machines.
  std::string text;
  const std::string description(1500, 'x');
  for (int i = 0; i < 6000; ++i) {
    const std::string status = i % 10 == 9 ? "deinstall ok config-files" : "install ok installed";
    text += "Package: pkg" + std::to_string(100000 + i) + "\nStatus: " + status +
            "\nMaintainer: Team " + std::to_string(i) + " <team@example.org>\nVersion: 1." +
            std::to_string(i) + "\nDescription: a package\n " + description + "\n .\n " +
            description + "\n\n";
  }
  WriteStatus(text);
  const std::optional<std::vector<std::string>> names = source_->SubKeys("");
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->size(), 5400u);
  EXPECT_EQ(names->back(), "pkg105998");
  EXPECT_EQ(Text("pkg105998", "Publisher"), std::string("Team 5998 <team@example.org>") + '\0');
  EXPECT_EQ(Text("pkg105999", "DisplayName"), "<absent>");
}

TEST(LocalMachineView, HoldsThisMachinesInstalledPackagesUnderTheUninstallKey) {
  if (!std::filesystem::exists("/var/lib/dpkg/status")) GTEST_SKIP() << "no dpkg database here";
  const std::string status = testsupport::ReadAll("/var/lib/dpkg/status");
  HKEY key = nullptr;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, std::string(kUninstallKeyPath).c_str(), 0, KEY_READ, &key),
      0);
  DWORD count = 0;
  char name[256];
  DWORD size = sizeof(name);
  while (RegEnumKeyExA(key, count, name, &size, nullptr, nullptr, nullptr, nullptr) == 0) {
    ++count;
    size = sizeof(name);
  }
  EXPECT_EQ(count, ParseDpkgStatus(status).size());
  EXPECT_EQ(RegCloseKey(key), 0);
}

}  // namespace
}  // namespace platform
