#include "agent/ServiceCommands.h"

#include "common/ServicesWin32.h"
#include "common/WriteLog.h"

// The service name is word 1 of the upper-case line; the manager matches names
// ignoring letter case, so "SPOOLER" finds the service "spooler". The machine
// name is always empty: only the local machine is steered.

namespace agent {
namespace {

constexpr int16_t kTraceLevel = 2;
const std::string kLocalMachine;

void Trace(std::string_view label, std::string_view text) {
  std::string line(label);
  line += text;
  common::WriteLog(line, kTraceLevel);
}

}  // namespace

HandlerResult ServiceListReply(const RequestLine&) {
  return HandlerResult::Reply(common::ListServicesText());
}

HandlerResult ServiceStatusReply(const RequestLine& line, const std::optional<std::string>& name) {
  Trace("Service Status", line.Received);
  if (!name) return HandlerResult::MissingPart();
  std::string sentence = common::QueryService(*name, kLocalMachine);
  Trace("Service Status ", *name + " :");
  return HandlerResult::Reply(std::move(sentence));
}

HandlerResult ServiceStopReply(const RequestLine& line, const std::optional<std::string>& name) {
  Trace("Service Stop", line.Received);
  if (!name) return HandlerResult::MissingPart();
  Trace("Stop Service", *name);
  common::StopNamedService(*name, kLocalMachine);
  return HandlerResult::Reply(*name);
}

HandlerResult ServiceStartReply(const RequestLine& line, const std::optional<std::string>& name) {
  // The start traces the same first line as the stop, as the protocol's log
  // readers expect.
  Trace("Service Stop", line.Received);
  if (!name) return HandlerResult::MissingPart();
  Trace("Start Service", *name);
  common::StartNamedService(*name, kLocalMachine);
  return HandlerResult::Reply(*name);
}

}  // namespace agent
