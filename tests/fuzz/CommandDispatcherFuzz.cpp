// Requests of arbitrary bytes through the command dispatcher, with remote
// execution off, in a program folder of the target's own.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "agent/CommandDispatcher.h"
#include "common/AgentConfig.h"
#include "common/TaskFolders.h"
#include "tests/fuzz/FuzzHome.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::FuzzHome();
  common::PrepareTaskFolders();
  common::AgentConfig& config = common::TheAgentConfig();
  config.AllowRemoteExec = false;
  config.LogLevel = 5;  // every trace line is built and written
  // The inventories read the package database once and keep it: that first
  // read is not the cost of a request.
  agent::ProcessCommand("SWINV\nHWINV\n", agent::CommandContext{1, "127.0.0.1"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  agent::ProcessCommand(request, agent::CommandContext{1, "127.0.0.1"});
  // The log would grow for the whole run; each request starts without one.
  unlink((fuzzsupport::FuzzHome() + "/TarvoAgent.log").c_str());
  return 0;
}
