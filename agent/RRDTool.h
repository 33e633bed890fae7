#pragma once
// The RRD feed: databases, updates and graphs through the outside rrdtool program.

namespace agent {

// One feed of the RRD databases.
void FeedRRDTool();

}  // namespace agent
