#include "agent/RegistryDeclaration.h"

#include <gtest/gtest.h>

#include <regex>

#include "agent/CommandDispatcher.h"
#include "platform/RegistryView.h"
#include "tests/agent/AgentTestSupport.h"

namespace agent {
namespace {

using platform::RegDwordValue;
using platform::RegistryValue;
using platform::RegSzValue;

RegistryValue RawText(std::string bytes) {
  return {platform::REG_SZ, std::move(bytes)};
}

// A local machine of a few programs and device classes, put behind
// HKEY_LOCAL_MACHINE for the test.
class InventoryTest : public AgentHomeTest {
 protected:
  InventoryTest() {
    auto programs = std::make_shared<platform::StaticRegistrySource>();
    programs->SetValue("Editor", "DisplayName", RegSzValue("Editor"));
    programs->SetValue("Editor", "DisplayVersion", RegSzValue("2.1"));
    programs->SetValue("Editor", "Publisher", RegSzValue("Acme Ltd"));
    programs->SetValue("KB5001", "Publisher", RegSzValue("Update without a name"));
    programs->SetValue("Viewer", "DisplayName", RegSzValue("Viewer"));
    programs->SetValue("Viewer", "Publisher", RegSzValue("Acme Ltd"));
    programs->SetValue("Tool", "DisplayName", RegSzValue("Tool"));
    programs->SetValue("Counted", "DisplayName", RawText(std::string("Counted\0junk", 12)));
    programs->SetValue("Counted", "DisplayVersion", RegDwordValue(7));
    programs->SetValue("Counted", "Publisher", RegSzValue(""));

    auto classes = std::make_shared<platform::StaticRegistrySource>();
    classes->SetValue("net\\0000", "DriverDesc", RegSzValue("e1000e"));
    classes->SetValue("net\\0000", "DriverVersion", RegSzValue("3.2.6-k"));
    classes->SetValue("net\\0000", "ProviderName", RegSzValue("Intel Corporation"));
    classes->AddKey("mem");
    classes->SetValue("block\\0001", "DriverDesc", RegSzValue("only a second instance"));
    classes->SetValue("tty\\0000", "DriverDesc", RegSzValue("serial"));

    auto view = std::make_shared<platform::RegistryView>();
    view->Mount(kUninstallKey, programs);
    view->Mount(kDeviceClassKey, classes);
    platform::SetLocalMachineView(view);
  }
  ~InventoryTest() override { platform::SetLocalMachineView(nullptr); }

  std::string Reply(std::string_view request) {
    return ProcessCommand(request, CommandContext{1, "127.0.0.1"}).Text;
  }
};

TEST_F(InventoryTest, SoftwareInventoryGivesALineForEachSubkeyWithAName) {
  EXPECT_EQ(SoftwareInventory(),
            "Editor (2.1)  ||  Acme Ltd\r\n"
            "Viewer  ||  Acme Ltd\r\n"
            "Tool\r\n"
            "Counted (7)  ||  \r\n");
}

TEST_F(InventoryTest, HardwareInventoryReadsTheFirstInstanceOfEachClass) {
  EXPECT_EQ(HardwareInventory(),
            "e1000e (3.2.6-k)  ||  Intel Corporation\r\n"
            "serial\r\n");
}

TEST_F(InventoryTest, EveryCallStartsFromEmptyText) {
  const std::string software = Reply("SWINV\n");
  EXPECT_EQ(software, SoftwareInventory());
  EXPECT_EQ(Reply("SWINV\n"), software);
  EXPECT_EQ(Reply("hwinv\n"), HardwareInventory());
}

TEST_F(InventoryTest, TheEndOfTheWalkIsLoggedAtLevelTwoOnly) {
  common::TheAgentConfig().LogLevel = 1;
  SoftwareInventory();
  EXPECT_EQ(Log(), "");
  common::TheAgentConfig().LogLevel = 2;
  HardwareInventory();
  const std::regex end_line(R"(EnumKeys Error - 259 \d\d/\d\d/\d{4}( \d\d:\d\d:\d\d)?\r\n)");
  EXPECT_TRUE(std::regex_match(Log(), end_line)) << Log();
}

TEST_F(InventoryTest, AKeyThatCannotBeOpenedGivesEmptyTextAndOneLevelOneLine) {
  common::TheAgentConfig().LogLevel = 1;
  EXPECT_EQ(EnumerateInventoryKey(platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing\\Here",
                                  InventoryKind::kSoftware),
            "");
  EXPECT_EQ(Log(), "Unable to open a subkey\r\n");
  platform::SetLocalMachineView(std::make_shared<platform::RegistryView>());
  EXPECT_EQ(Reply("SWINV\n"), "");
  EXPECT_EQ(CountLines(Log(), "Unable to open a subkey"), 2);
}

// Many generated subkeys, each with a name value.
class ManyKeysSource : public platform::RegistrySource {
 public:
  explicit ManyKeysSource(int count) {
    for (int i = 0; i < count; ++i) names_.push_back("k" + std::to_string(i));
  }
  std::optional<std::vector<std::string>> SubKeys(std::string_view path) const override {
    if (path.empty()) return names_;
    return std::vector<std::string>{};
  }
  std::optional<RegistryValue> Value(std::string_view path, std::string_view name) const override {
    if (path.empty() || name != "DisplayName") return std::nullopt;
    return RegSzValue("p");
  }

 private:
  std::vector<std::string> names_;
};

TEST_F(InventoryTest, VisitsAtMost32767Subkeys) {
  auto view = std::make_shared<platform::RegistryView>();
  view->Mount(kUninstallKey, std::make_shared<ManyKeysSource>(32800));
  platform::SetLocalMachineView(view);
  const std::string text = SoftwareInventory();
  EXPECT_EQ(static_cast<int>(text.size() / 3), 32767);
}

}  // namespace
}  // namespace agent
