#pragma once
// The replies that need no other subsystem: PING, ABOUT, COMPUTERNAME and
// PUSHEVENTS.

#include <string>

#include "agent/CommandTypes.h"

namespace agent {

// PING: the local date-time text, " PONG ", the date-time text taken again.
HandlerResult PingReply();

// ABOUT: two lines, each followed by LF CR: the program's name and version, and
// what it is.
HandlerResult AboutReply();

// COMPUTERNAME: the computer name read at start-up, then CR LF.
HandlerResult ComputerNameReply();

// PUSHEVENTS: writes the "#"-separated items that follow the word (letter case
// ignored when finding it, text kept as received) to ServerEvents.txt, each
// followed by CR LF, dropping the item after the last "#"; reply "Done". A file
// that cannot be written is a failure.
HandlerResult PushEventsReply(const RequestLine& line);

// The bytes PUSHEVENTS writes for a line (its upper-case copy locates the word).
std::string ServerEventsText(std::string_view received, std::string_view upper);

}  // namespace agent
