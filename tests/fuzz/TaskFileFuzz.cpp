// Task records of arbitrary bytes through the record reader.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/TaskFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> fields = common::ReadTaskFileFields(bytes);
  for (const std::string_view tag :
       {common::kTagTaskName, common::kTagTaskCmd, common::kTagExecMode, common::kTagStatus,
        common::kTagOutput}) {
    (void)common::TaskFileValue(fields, tag);
  }
  (void)common::ReadTaskFileText(bytes);
  return 0;
}
