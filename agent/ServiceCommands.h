#pragma once
// The service commands: list, status, stop and start of the machine's services
// through the service control manager.

#include <optional>
#include <string>

#include "agent/CommandTypes.h"

namespace agent {

// SERVICE_LIST: one line per service.
HandlerResult ServiceListReply(const RequestLine& line);

// SERVICE_STATUS: the status sentence of the named service (name: word 1 of the
// upper-case line). Each handler traces the line first; a line without a name
// then fails the request.
HandlerResult ServiceStatusReply(const RequestLine& line, const std::optional<std::string>& name);

// SERVICE_STOP and SERVICE_START (only called when remote execution is allowed;
// line.Context names the client): reply is the name.
HandlerResult ServiceStopReply(const RequestLine& line, const std::optional<std::string>& name);
HandlerResult ServiceStartReply(const RequestLine& line, const std::optional<std::string>& name);

}  // namespace agent
