#pragma once
// The inventory commands: SWINV (installed software) and HWINV (one driver line
// per device class).

#include "agent/CommandTypes.h"

namespace agent {

HandlerResult SwInvReply(const RequestLine& line);
HandlerResult HwInvReply(const RequestLine& line);

}  // namespace agent
