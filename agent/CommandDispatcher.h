#pragma once
// The command processor: cuts a request into lines, recognises the command words
// of each line in their fixed order and runs the handler of every word present.

#include <optional>
#include <string>
#include <string_view>

#include "agent/CommandTypes.h"

namespace agent {

// Processes one buffered request. Every line ended by a line feed is upper-cased
// and tested against the command table in order; each word present (a plain
// substring test) runs its handler, and each reply replaces the previous one, so
// the last reply of the request wins. The text after the last line feed is
// ignored. A handler failure ends the request: one level-1 log line
// (description, " ProcessCommand Func ", date-time) and an empty reply;
// CloseConnection keeps its value.
CommandReply ProcessCommand(std::string_view request, const CommandContext& context);

// Whether answering the request would start a program (EXEC, EXETASK or INFO
// on a line that runs, the gated words only where the gate lets them through).
// Logs nothing.
bool RequestRunsPrograms(std::string_view request, const CommandContext& context);

// Word k (0-based) of the upper-case line split at every single blank, with
// every CR and LF removed; nothing when the line has fewer words.
std::optional<std::string> CutWord(std::string_view upper_line, size_t k);

}  // namespace agent
