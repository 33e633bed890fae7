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
// Event lines read from the file: the rows shown, and one more that tells the
// check there are more events than rows.
inline constexpr size_t kEventLinesRead = kMaxShownEvents + 1;
// The most of the event file that is read; it holds far more than
// kEventLinesRead lines of any event list the client or the agent writes.
inline constexpr size_t kMaxEventFileRead = size_t{8} << 20;
// The most a peer's answer may hold (the central server's list, the agent's
// summary).
inline constexpr size_t kMaxResponseBytes = size_t{4} << 20;

// What one connection has sent, kept up to a bound. Once the bound would be
// passed, the whole answer is dropped and later bytes of the same connection
// are refused too: an answer with a hole must never pass for a whole one.
class BoundedResponse {
 public:
  explicit BoundedResponse(size_t max_bytes = kMaxResponseBytes) : max_bytes_(max_bytes) {}
  // Adds the bytes; false once the answer has passed the bound.
  bool Append(std::string_view bytes);
  // Starts a new answer.
  void Clear();
  const std::string& Text() const { return text_; }
  bool Overflowed() const { return overflowed_; }

 private:
  size_t max_bytes_;
  std::string text_;
  bool overflowed_ = false;
};

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

// The first max_lines event lines of a file's text. Lines end at CR LF or a
// lone CR; each is trimmed of blanks, and one of 10 characters or fewer is no
// event. A line with fewer than six fields keeps the missing ones from the
// event line before.
std::vector<EventLine> ReadEventLines(std::string_view text, size_t max_lines = kEventLinesRead);

// The event lines of ServerEvents.txt in the program folder (its first
// kMaxEventFileRead bytes); nothing when it is missing or not a regular file.
std::optional<std::vector<EventLine>> ReadEventFile();

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

// The text of the detail box of one row, in the files' single-byte text.
std::string EventDetailText(std::string_view description, std::string_view client,
                            std::string_view machine, std::string_view type);

}  // namespace client
