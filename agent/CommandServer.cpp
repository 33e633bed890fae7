#include "agent/CommandServer.h"

// Placeholder until the command server lands: no listener, nothing served.

namespace agent {

int OpenListener(int32_t, int16_t) { return 0; }

void ServeClients(int) {}

std::vector<int> ServerWaitDescriptors(int) { return {}; }

}  // namespace agent
