#pragma once
// What the main window makes of the agent's monitoring summary: the table of
// its 25 rows, the values taken from a reply, the status-line texts and the
// request it sends. Plain functions, no widgets.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace client {

// One row of the main window: caption label, value box, the reply key that
// fills the box (empty for the boxes that stay empty), unit label and the
// box's text before the first reply.
struct Form1Row {
  const char* Caption;
  const char* Box;
  const char* Key;
  const char* Unit;
  const char* InitialText;
};

// The 25 rows, top to bottom.
std::span<const Form1Row> Form1Rows();

// The request that asks the agent for its summary: the word, a line feed and a
// carriage return, in that order.
inline constexpr std::string_view kResumeMonRequest = "RESUMEMON\n\r";

// The value of every key, in order, from a reply: the text after the first
// occurrence of the key up to the next carriage return, the next occurrence of
// the same key or the end. Nothing when any key is missing.
std::optional<std::vector<std::string>> ValuesFromReply(std::string_view reply,
                                                        std::span<const std::string> keys);

// "Refresh time:   <date>    (<target>)" and the failure form "Refresh time:   <date> !".
std::string RefreshStatusText(std::string_view date, std::string_view target);
std::string FailedStatusText(std::string_view date);

// A host with an optional ":port"; the port is default_port when none (or no
// valid one) is given.
struct HostAndPort {
  std::string Host;
  uint16_t Port = 0;
};
HostAndPort SplitHostAndPort(std::string_view text, uint16_t default_port);

}  // namespace client
