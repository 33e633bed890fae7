// Requests of arbitrary bytes through the command dispatcher, with remote
// execution off, in a program folder of the target's own.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "agent/CommandDispatcher.h"
#include "common/AgentConfig.h"
#include "common/TaskFolders.h"
#include "common/TextUtil.h"
#include "tests/fuzz/FuzzHome.h"

namespace {

// Words whose handlers take nothing from the request and cost a child
// process or a walk of the package database: requests holding them teach the
// fuzzer nothing and would take most of its time.
constexpr std::string_view kFixedCostWords[] = {"SWINV", "HWINV", "INFO"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::FuzzHome();
  common::PrepareTaskFolders();
  common::AgentConfig& config = common::TheAgentConfig();
  config.AllowRemoteExec = false;
  config.LogLevel = 5;  // every trace line is built and written
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  const std::string upper = common::ToUpper(request);
  for (const std::string_view word : kFixedCostWords) {
    if (upper.find(word) != std::string::npos) return -1;  // not kept in the corpus
  }
  agent::ProcessCommand(request, agent::CommandContext{1, "127.0.0.1"});
  // The log would grow for the whole run; each request starts without one.
  unlink((fuzzsupport::FuzzHome() + "/TarvoAgent.log").c_str());
  return 0;
}
