// Task records of arbitrary bytes through the record reader.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/TaskFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> fields = agent::ReadTaskFileFields(bytes);
  for (const std::string_view tag :
       {agent::kTagTaskName, agent::kTagTaskCmd, agent::kTagExecMode, agent::kTagStatus,
        agent::kTagOutput}) {
    (void)agent::TaskFileValue(fields, tag);
  }
  (void)agent::ReadTaskFileText(bytes);
  return 0;
}
