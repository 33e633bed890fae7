#include "common/PerfModule.h"

// Placeholder until the performance-data reader lands.

namespace common {

int GrowPerfBuffer(const std::string&) { return 0; }

}  // namespace common
