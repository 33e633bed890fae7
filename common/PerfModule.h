#pragma once
// The counter catalogue and the performance-data reader.

#include <string>

namespace common {

// Full load of the performance data block for the blank-separated object
// indices of key_list. Returns 0 on completion, 1 when an error interrupted it.
int GrowPerfBuffer(const std::string& key_list);

}  // namespace common
