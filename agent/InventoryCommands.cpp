#include "agent/InventoryCommands.h"

#include <exception>

#include "agent/RegistryDeclaration.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

// Both inventories log their failures under the same label.
constexpr std::string_view kFailureLabel = " ProcessCommand SW_INV ";

// Runs one inventory, marking the stage it has reached, so that a failure's
// log line (level 0) tells where it happened; a failure gives empty text.
HandlerResult InventoryReply(const char* key_path, std::string (*inventory)()) {
  std::string stage = "+0+";
  try {
    {
      // The key is opened once for reading before the walk, as a check that
      // leaves nothing open; the walk opens it again itself.
      platform::HKEY key = nullptr;
      if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, key_path, 0, platform::KEY_READ,
                                  &key) == platform::ERROR_SUCCESS) {
        platform::RegCloseKey(key);
      }
    }
    stage = "+1+";
    std::string text = inventory();
    stage = "+2+";
    return HandlerResult::Reply(std::move(text));
  } catch (const std::exception& error) {
    common::WriteLog(
        stage + error.what() + std::string(kFailureLabel) + common::GeneralDateTextNow(), 0);
    return HandlerResult::Reply({});
  }
}

}  // namespace

HandlerResult SwInvReply(const RequestLine&) {
  return InventoryReply(kUninstallKey, SoftwareInventory);
}

HandlerResult HwInvReply(const RequestLine&) {
  return InventoryReply(kDeviceClassKey, HardwareInventory);
}

}  // namespace agent
