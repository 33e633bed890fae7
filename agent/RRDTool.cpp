#include "agent/RRDTool.h"

// Placeholder until the RRD feed lands.

namespace agent {

void FeedRRDTool() {}

}  // namespace agent
