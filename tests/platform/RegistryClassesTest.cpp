#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Registry.h"
#include "platform/linux/RegistryInventory.h"
#include "tests/support/TempFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A /sys and /proc tree in the shape the kernel gives them:
//   net:   lo (virtual, no device), eth0 on an Intel PCI card (e1000e module, versioned)
//   block: loop0 (no driver), sda on a SCSI disk (driver built in, vendor as text)
//   input: input0 on an ACPI button, named
//   usb_misc: a USB device with manufacturer and product texts
//   mem:   devices without drivers
//   tty:   ttyS0 on a driver without vendor or module
class DeviceClassFixture : public ::testing::Test {
 protected:
  DeviceClassFixture() {
    Write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    Write("sys/module/e1000e/version", "3.2.6-k\n");
    Folder("sys/bus/pci/drivers/e1000e");
    Link("../../../../module/e1000e", "sys/bus/pci/drivers/e1000e/module");

    Folder("sys/class/net/lo");
    Device("sys/devices/pci0000:00/0000:00:19.0", "../../../bus/pci/drivers/e1000e");
    Write("sys/devices/pci0000:00/0000:00:19.0/vendor", "0x8086\n");
    Folder("sys/class/net/eth0");
    Link("../../../devices/pci0000:00/0000:00:19.0", "sys/class/net/eth0/device");

    Folder("sys/class/block/loop0");
    Device("sys/devices/host0/target0/0:0:0:0", "../../../../bus/scsi/drivers/sd");
    Write("sys/devices/host0/target0/0:0:0:0/vendor", "ATA     \n");
    Write("sys/devices/host0/target0/0:0:0:0/model", "Samsung SSD 860 \n");
    Folder("sys/class/block/sda");
    Link("../../../devices/host0/target0/0:0:0:0", "sys/class/block/sda/device");

    Device("sys/devices/LNXPWRBN:00", "../../bus/acpi/drivers/button");
    Folder("sys/class/input/input0");
    Write("sys/class/input/input0/name", "Power Button\n");
    Link("../../../devices/LNXPWRBN:00", "sys/class/input/input0/device");

    Device("sys/devices/usb1/1-1", "../../../bus/usb/drivers/usb");
    Write("sys/devices/usb1/1-1/manufacturer", "SanDisk\n");
    Write("sys/devices/usb1/1-1/product", "Ultra\n");
    Folder("sys/class/usb_misc/stick0");
    Link("../../../devices/usb1/1-1", "sys/class/usb_misc/stick0/device");

    Folder("sys/class/mem/null");
    Folder("sys/class/mem/zero");

    Device("sys/devices/pnp0/00:04", "../../../bus/pnp/drivers/serial");
    Folder("sys/class/tty/ttyS0");
    Link("../../../devices/pnp0/00:04", "sys/class/tty/ttyS0/device");
  }

  void Folder(const std::string& relative) { fs::create_directories(root_.Path(relative)); }
  void Write(const std::string& relative, const std::string& text) {
    Folder(fs::path(relative).parent_path());
    testsupport::WriteAll(root_.Path(relative), text);
  }
  void Link(const std::string& target, const std::string& relative) {
    Folder(fs::path(relative).parent_path());
    fs::create_directory_symlink(target, root_.Path(relative));
  }
  // A device folder whose driver link points at target (relative to it).
  void Device(const std::string& relative, const std::string& driver_target) {
    Folder(relative);
    Link(driver_target, relative + "/driver");
  }

  testsupport::TempFolder root_;
};

TEST_F(DeviceClassFixture, ReadsTheDriverOfTheFirstDeviceWithOneBound) {
  EXPECT_EQ(ReadDeviceClasses(root_.path()),
            (std::vector<std::string>{"block", "input", "mem", "net", "tty", "usb_misc"}));

  const std::optional<ClassDriver> net = ReadClassDriver(root_.path(), "net");
  ASSERT_TRUE(net.has_value());
  EXPECT_EQ(net->DriverDesc, "e1000e");
  EXPECT_EQ(net->DriverVersion, "3.2.6-k");  // the module's own version
  EXPECT_EQ(net->ProviderName, "Intel Corporation");

  const std::optional<ClassDriver> block = ReadClassDriver(root_.path(), "block");
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->DriverDesc, "sd - Samsung SSD 860");
  EXPECT_EQ(block->DriverVersion, "6.1.0-18-amd64");  // built in: the kernel's release
  EXPECT_EQ(block->ProviderName, "ATA");

  const std::optional<ClassDriver> input = ReadClassDriver(root_.path(), "input");
  ASSERT_TRUE(input.has_value());
  EXPECT_EQ(input->DriverDesc, "button - Power Button");
  EXPECT_EQ(input->ProviderName, "button");  // no vendor: the driver's name

  const std::optional<ClassDriver> usb = ReadClassDriver(root_.path(), "usb_misc");
  ASSERT_TRUE(usb.has_value());
  EXPECT_EQ(usb->DriverDesc, "usb - Ultra");
  EXPECT_EQ(usb->ProviderName, "SanDisk");

  EXPECT_FALSE(ReadClassDriver(root_.path(), "mem").has_value());
  EXPECT_FALSE(ReadClassDriver(root_.path(), "nosuchclass").has_value());
}

TEST_F(DeviceClassFixture, SourceGivesAFirstInstanceOnlyToClassesWithADriver) {
  const std::shared_ptr<const RegistrySource> source = DeviceClassSource(root_.path());
  EXPECT_EQ(source->SubKeys(""), ReadDeviceClasses(root_.path()));
  EXPECT_EQ(source->SubKeys("NET"), std::vector<std::string>{"0000"});
  EXPECT_EQ(source->SubKeys("net\\0000"), std::vector<std::string>{});
  EXPECT_EQ(source->SubKeys("mem"), std::vector<std::string>{});
  EXPECT_FALSE(source->SubKeys("mem\\0000").has_value());
  EXPECT_FALSE(source->SubKeys("net\\0001").has_value());
  EXPECT_FALSE(source->SubKeys("nosuchclass").has_value());

  const std::optional<RegistryValue> desc = source->Value("tty\\0000", "DriverDesc");
  ASSERT_TRUE(desc.has_value());
  EXPECT_EQ(desc->Type, REG_SZ);
  EXPECT_EQ(desc->Data, std::string("serial") + '\0');
  EXPECT_EQ(source->Value("Net\\0000", "providername")->Data,
            std::string("Intel Corporation") + '\0');
  EXPECT_FALSE(source->Value("net", "DriverDesc").has_value());
  EXPECT_FALSE(source->Value("mem\\0000", "DriverDesc").has_value());
}

TEST_F(DeviceClassFixture, SourceLeavesTheVersionOutWhenNothingNamesOne) {
  fs::remove(root_.Path("proc/sys/kernel/osrelease"));
  const std::shared_ptr<const RegistrySource> source = DeviceClassSource(root_.path());
  EXPECT_FALSE(source->Value("block\\0000", "DriverVersion").has_value());
  EXPECT_EQ(source->Value("net\\0000", "DriverVersion")->Data, std::string("3.2.6-k") + '\0');
}

TEST(PciVendorName, PrefersThePciIdsDatabaseAndFallsBackToKnownVendors) {
  testsupport::TempFolder root;
  fs::create_directories(root.Path("usr/share/misc"));
  testsupport::WriteAll(root.Path("usr/share/misc/pci.ids"),
                        "# comment\n"
                        "10ec  Realtek Semiconductor Co., Ltd.\n"
                        "\t8139  RTL-8100/8101L/8139 PCI Fast Ethernet Adapter\n"
                        "8086  Intel Corporation (from the database)\n"
                        "C 02  Network controller\n");
  EXPECT_EQ(PciVendorName(root.path(), 0x8086), "Intel Corporation (from the database)");
  EXPECT_EQ(PciVendorName(root.path(), 0x1af4), "Red Hat, Inc.");  // not in the file
  EXPECT_EQ(PciVendorName(root.path(), 0x8139), std::nullopt);     // a device line, not a vendor
  testsupport::TempFolder empty;
  EXPECT_EQ(PciVendorName(empty.path(), 0x8086), "Intel Corporation");
  EXPECT_EQ(PciVendorName(empty.path(), 0xabcd), std::nullopt);
}

TEST(LocalMachineView, HoldsThisMachinesDeviceClassesUnderTheClassKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, std::string(kDeviceClassKeyPath).c_str(), 0, KEY_READ,
                          &key),
            0);
  std::vector<std::string> names;
  char name[256];
  DWORD size = sizeof(name);
  while (RegEnumKeyExA(key, static_cast<DWORD>(names.size()), name, &size, nullptr, nullptr,
                       nullptr, nullptr) == 0) {
    names.emplace_back(name, size);
    size = sizeof(name);
  }
  EXPECT_EQ(names, ReadDeviceClasses("/"));
  EXPECT_EQ(RegCloseKey(key), 0);
}

}  // namespace
}  // namespace platform
