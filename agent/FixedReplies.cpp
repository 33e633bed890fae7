#include "agent/FixedReplies.h"

#include <cstring>

#include "agent/AgentHost.h"
#include "agent/TaskFile.h"
#include "common/ProgramFolder.h"
#include "common/TarvoVersion.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"
#include "platform/SystemInfo.h"

namespace agent {
namespace {

constexpr std::string_view kPushEventsWord = "PUSHEVENTS";

}  // namespace

HandlerResult PingReply() {
  std::string text = common::GeneralDateTextNow();
  text += " PONG ";
  text += common::GeneralDateTextNow();
  return HandlerResult::Reply(std::move(text));
}

HandlerResult AboutReply() {
  // LF CR, in this order, as the clients of this protocol expect it.
  std::string text = "Tarvo Agent Service - version ";
  text += common::kVersionText;
  text += "\n\r";
  text += "Host monitoring agent\n\r";
  return HandlerResult::Reply(std::move(text));
}

HandlerResult ComputerNameReply() {
  std::string name = TheHostState().ComputerName;
  if (name.empty()) name = platform::ComputerName();
  return HandlerResult::Reply(name + "\r\n");
}

std::string ServerEventsText(std::string_view received, std::string_view upper) {
  // The upper-case copy has the same length, so positions found in it hold for
  // the text as received.
  const size_t word = upper.find(kPushEventsWord);
  if (word == std::string_view::npos) return {};
  const size_t start = word + kPushEventsWord.size();
  const size_t next = upper.find(kPushEventsWord, start);
  const std::string_view events = received.substr(
      start, next == std::string_view::npos ? std::string_view::npos : next - start);
  return common::EndedPiecesCrLf(events, '#');
}

HandlerResult PushEventsReply(const RequestLine& line) {
  const std::string path = common::ProgramPath("ServerEvents.txt");
  // An event list never keeps a task's password that the same line holds.
  const std::string text =
      HideTaskPasswords(ServerEventsText(line.Received, line.Upper), line.Received);
  if (const int err = platform::WriteFileAtomic(path, text, false)) {
    return HandlerResult::Failure(std::strerror(err));
  }
  return HandlerResult::Reply("Done");
}

}  // namespace agent
