#include "client/ServerEvents.h"

#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"

namespace client {
namespace {

constexpr std::string_view kBodyMark = "text/html\r\n\r\n";
constexpr size_t kShortestEventLine = 11;

}  // namespace

std::optional<std::string> EventFileBytes(std::string_view response) {
  if (response.find("\r\n\r\n") == std::string_view::npos) return std::nullopt;
  // A header that ends in another content type gives no body; the file keeps
  // the events it has rather than being emptied.
  const size_t mark = response.find(kBodyMark);
  if (mark == std::string_view::npos) return std::nullopt;
  const size_t start = mark + kBodyMark.size();
  const size_t next = response.find(kBodyMark, start);
  const std::string_view body =
      response.substr(start, next == std::string_view::npos ? next : next - start);

  // Only pieces ended by a line feed are written; a carriage return before the
  // line feed stays in its piece.
  return common::EndedPiecesCrLf(body, '\n');
}

bool BoundedResponse::Append(std::string_view bytes) {
  if (!overflowed_ && bytes.size() > max_bytes_ - text_.size()) {
    overflowed_ = true;
    text_ = std::string();  // the memory goes too
  }
  if (!overflowed_) text_.append(bytes);
  return !overflowed_;
}

void BoundedResponse::Clear() {
  // The memory goes with the text: an answer of megabytes is not kept between
  // fetches.
  text_ = std::string();
  overflowed_ = false;
}

std::vector<EventLine> ReadEventLines(std::string_view text, size_t max_lines) {
  std::vector<EventLine> events;
  EventLine previous;
  size_t start = 0;
  while (start < text.size() && events.size() < max_lines) {
    size_t end = text.find('\r', start);
    size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    if (next < text.size() && text[next] == '\n') ++next;
    const std::string_view line = common::TrimBlanks(text.substr(start, end - start));
    start = next;
    if (line.size() < kShortestEventLine) continue;

    EventLine event = previous;
    const std::vector<std::string> fields = common::SplitText(line, "|");
    for (size_t k = 0; k < fields.size() && k < event.Fields.size(); ++k) {
      event.Fields[k] = fields[k];
    }
    events.push_back(event);
    previous = std::move(event);
  }
  return events;
}

std::optional<std::vector<EventLine>> ReadEventFile() {
  const std::optional<std::string> text =
      platform::ReadFileHead(common::ProgramPath(kEventsFileName), kMaxEventFileRead);
  if (!text) return std::nullopt;
  return ReadEventLines(*text);
}

std::string EventLink(std::string_view server, const EventLine& event) {
  std::string link = "http://";
  link += server;
  link += "/console/redir-ev.php?id=";
  link += event.Id();
  link += "&tipo=";
  link += event.Type();
  return link;
}

bool IsMonitorEvent(const EventLine& event) { return event.Type() == "MONITOR"; }

int CountNewEvents(const std::vector<EventLine>& events, const std::vector<ShownRow>& rows,
                   std::string_view server) {
  int count = 0;
  for (size_t k = 0; k < events.size(); ++k) {
    const EventLine& event = events[k];
    if (k >= rows.size()) {
      ++count;
      continue;
    }
    if (k >= static_cast<size_t>(kComparedRows)) continue;
    const ShownRow& row = rows[k];
    if (event.Type() != row.Type || event.Date() != row.Date || event.Client() != row.Client ||
        event.Machine() != row.Machine || EventLink(server, event) != row.Link) {
      ++count;
    }
  }
  return count;
}

std::string EventDetailText(std::string_view description, std::string_view client,
                            std::string_view machine, std::string_view type) {
  std::string text = "Descri\xE7\xE3o:";
  text += description;
  text += "\nCliente  :";
  text += client;
  text += "\nMaquina  :";
  text += machine;
  text += "\nTipo     :";
  text += type;
  return text;
}

}  // namespace client
