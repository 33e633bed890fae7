// Configuration files of arbitrary bytes through the configuration loader.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/AgentConfig.h"
#include "platform/FileAccess.h"
#include "tests/fuzz/FuzzHome.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::FuzzHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzsupport::FuzzHome() + "/TarvoAgent.cfg";
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (platform::WriteRegularFile(path, text, platform::WriteMode::kTruncate) != 0) return 0;
  common::AgentConfig config;
  config.PerfKeyList = "2 4 236 238 260 510";
  common::LoadAgentConfigFile(config, path);
  (void)common::RrdToolIsOn(config);
  return 0;
}
