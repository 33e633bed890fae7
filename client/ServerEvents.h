#pragma once
// The central server's event list: the request, the bytes of ServerEvents.txt
// made from the server's response, the reading of event lines, the event link
// and the new-event check. Plain functions, no widgets.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace client {

inline constexpr std::string_view kEventsFileName = "ServerEvents.txt";
// The request, with the lower-case method the central server is used to.
inline constexpr std::string_view kEventsRequest = "get /console/ag_events_lst.php HTTP/1.0\n\n";
// The most event lines the message window shows.
inline constexpr int kMaxShownEvents = 100;
// Only the first rows are compared field by field by the new-event check.
inline constexpr int kComparedRows = 10;

// The content of ServerEvents.txt made from a whole response: the body after
// the first "text/html" CR LF CR LF (up to the next one), cut at line feeds,
// every piece but the last followed by CR LF. Nothing when the file is to be
// left untouched: no blank line ending a header, or no "text/html" before it.
std::optional<std::string> EventFileBytes(std::string_view response);

// One event line: identifier, type, date, machine, client, description.
struct EventLine {
  std::array<std::string, 6> Fields;
  const std::string& Id() const { return Fields[0]; }
  const std::string& Type() const { return Fields[1]; }
  const std::string& Date() const { return Fields[2]; }
  const std::string& Machine() const { return Fields[3]; }
  const std::string& Client() const { return Fields[4]; }
  const std::string& Description() const { return Fields[5]; }
};

// The event lines of a file's text, all of them. Lines end at CR LF or a lone
// CR; each is trimmed of blanks, and one of 10 characters or fewer is no
// event. A line with fewer than six fields keeps the missing ones from the
// event line before.
std::vector<EventLine> ReadEventLines(std::string_view text);

// "http://<server>/console/redir-ev.php?id=<id>&tipo=<type>".
std::string EventLink(std::string_view server, const EventLine& event);

// Whether an event is a monitoring event (shown light cyan; others light red).
bool IsMonitorEvent(const EventLine& event);

// What the message window shows of one row, as the new-event check sees it.
struct ShownRow {
  std::string Type, Date, Client, Machine, Link;
};

// The number of new events: event lines that have no row, and among the first
// rows those whose type, date, client, machine or link differ from the row.
int CountNewEvents(const std::vector<EventLine>& events, const std::vector<ShownRow>& rows,
                   std::string_view server);

// The text of the detail box of one row.
std::string EventDetailText(std::string_view description, std::string_view client,
                            std::string_view machine, std::string_view type);

}  // namespace client
