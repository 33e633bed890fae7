#include "agent/HttpRequest.h"

#include <cctype>

namespace agent {
namespace {

// RFC 9110 token characters.
bool IsTokenChar(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

// Visible characters of a request target: no blanks, no control bytes, no
// bytes above 127.
bool IsTargetText(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return false;
  }
  return !text.empty();
}

// A field value may hold blanks, tabs, visible characters and bytes above 127
// (obsolete text), but no other control byte.
bool IsFieldValue(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return false;
  }
  return true;
}

std::string_view TrimBlanksAndTabs(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Splits off the next line; its CR before the LF, if any, is removed.
std::string_view NextLine(std::string_view& rest) {
  const size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The path of an origin-form ("/metrics?x") or absolute-form
// ("http://host/metrics") target; nothing for any other form.
std::optional<std::string> TargetPath(std::string_view target) {
  if (target.front() != '/') {
    const std::string lower = Lower(target.substr(0, 8));
    size_t scheme = 0;
    if (lower.starts_with("http://")) scheme = 7;
    if (lower.starts_with("https://")) scheme = 8;
    if (scheme == 0) return std::nullopt;
    const size_t slash = target.find('/', scheme);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  return std::string(target.substr(0, target.find('?')));
}

// A weight: "0", "0.5", "1", "1.000" (RFC 9110 qvalue); nothing otherwise.
std::optional<double> ParseQuality(std::string_view text) {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return std::nullopt;
  if (text.size() == 1) return text[0] - '0';
  if (text[1] != '.' || text.size() > 5) return std::nullopt;
  double value = text[0] - '0';
  double scale = 0.1;
  for (const char c : text.substr(2)) {
    if (c < '0' || c > '9' || (text[0] == '1' && c != '0')) return std::nullopt;
    value += (c - '0') * scale;
    scale /= 10;
  }
  return value;
}

struct HeadFields {
  int HostCount = 0;
  std::optional<std::string> ContentLength;
  bool TransferEncoding = false;
  std::string Connection;
};

// Takes one header field into the request; false when it is malformed.
bool TakeField(std::string_view line, HttpRequest& request, HeadFields& fields) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = TrimBlanksAndTabs(line.substr(colon + 1));
  if (!IsToken(name) || !IsFieldValue(value)) return false;
  const std::string key = Lower(name);
  const auto join = [&value](std::string& field) {
    if (!field.empty()) field += ",";
    field.append(value);
  };
  if (key == "host") {
    ++fields.HostCount;
  } else if (key == "content-length") {
    // Equal repeats are one length (RFC 9110); anything else is a fault.
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    if (fields.ContentLength && *fields.ContentLength != value) return false;
    fields.ContentLength = std::string(value);
  } else if (key == "transfer-encoding") {
    fields.TransferEncoding = true;
  } else if (key == "connection") {
    join(fields.Connection);
  } else if (key == "accept") {
    join(request.Accept);
  } else if (key == "accept-encoding") {
    join(request.AcceptEncoding);
  }
  return true;
}

bool HasConnectionOption(std::string_view connection, std::string_view option) {
  for (const WeightedItem& item : ParseWeightedList(connection)) {
    if (item.Value == option) return true;
  }
  return false;
}

HeadParse Failed(HeadStatus status) {
  HeadParse parse;
  parse.Status = status;
  return parse;
}

}  // namespace

std::optional<size_t> FindHeadEnd(std::string_view buffer, size_t from) {
  // Empty lines before the request line belong to no head.
  size_t start = 0;
  while (start < buffer.size() && (buffer[start] == '\r' || buffer[start] == '\n')) ++start;
  // A line feed followed by an optional CR and another line feed ends the head.
  for (size_t lf = buffer.find('\n', std::max(from, start)); lf != std::string_view::npos;
       lf = buffer.find('\n', lf + 1)) {
    size_t next = lf + 1;
    if (next < buffer.size() && buffer[next] == '\r') ++next;
    if (next < buffer.size() && buffer[next] == '\n') return next + 1;
  }
  return std::nullopt;
}

HeadParse ParseRequestHead(std::string_view buffer) {
  const std::optional<size_t> end = FindHeadEnd(buffer);
  if (!end || *end > kMaxRequestHeadBytes) {
    const std::string_view limited = buffer.substr(0, kMaxRequestHeadBytes);
    if (end || buffer.size() > kMaxRequestHeadBytes) {
      // No line end within the limit means the request line alone is too long.
      const size_t first_text = limited.find_first_not_of("\r\n");
      const bool line_ended = first_text != std::string_view::npos &&
                              limited.find('\n', first_text) != std::string_view::npos;
      return Failed(line_ended ? HeadStatus::kHeadTooLarge : HeadStatus::kUriTooLong);
    }
    return Failed(HeadStatus::kIncomplete);
  }
  std::string_view rest = buffer.substr(0, *end);
  while (!rest.empty() && (rest.front() == '\r' || rest.front() == '\n')) rest.remove_prefix(1);

  HeadParse parse;
  HttpRequest& request = parse.Request;
  const std::string_view request_line = NextLine(rest);
  const size_t first_blank = request_line.find(' ');
  const size_t second_blank = request_line.find(' ', first_blank + 1);
  if (first_blank == std::string_view::npos || second_blank == std::string_view::npos ||
      request_line.find(' ', second_blank + 1) != std::string_view::npos) {
    return Failed(HeadStatus::kBadRequest);
  }
  const std::string_view method = request_line.substr(0, first_blank);
  const std::string_view target =
      request_line.substr(first_blank + 1, second_blank - first_blank - 1);
  const std::string_view version = request_line.substr(second_blank + 1);
  if (!IsToken(method) || !IsTargetText(target)) return Failed(HeadStatus::kBadRequest);
  const bool digits = version.size() == 8 && version.starts_with("HTTP/") &&
                      std::isdigit(static_cast<unsigned char>(version[5])) && version[6] == '.' &&
                      std::isdigit(static_cast<unsigned char>(version[7]));
  if (!digits) return Failed(HeadStatus::kBadRequest);
  if (version[5] != '1' || version[7] > '1') return Failed(HeadStatus::kVersionUnknown);
  request.Method = std::string(method);
  request.MinorVersion = version[7] - '0';
  if (target == "*") {
    request.Path = "*";
  } else if (const auto path = TargetPath(target)) {
    request.Path = *path;
  } else {
    return Failed(HeadStatus::kBadRequest);
  }

  HeadFields fields;
  for (std::string_view line = NextLine(rest); !line.empty(); line = NextLine(rest)) {
    // A line that starts with a blank folds into the one before: obsolete, refused.
    if (line.front() == ' ' || line.front() == '\t') return Failed(HeadStatus::kBadRequest);
    if (!TakeField(line, request, fields)) return Failed(HeadStatus::kBadRequest);
  }
  if (request.MinorVersion == 1 && fields.HostCount != 1) return Failed(HeadStatus::kBadRequest);
  if (fields.HostCount > 1) return Failed(HeadStatus::kBadRequest);
  request.HasBody = fields.TransferEncoding ||
                    (fields.ContentLength &&
                     fields.ContentLength->find_first_not_of('0') != std::string::npos);
  request.KeepAlive = request.MinorVersion == 1
                          ? !HasConnectionOption(fields.Connection, "close")
                          : HasConnectionOption(fields.Connection, "keep-alive");
  parse.Status = HeadStatus::kComplete;
  parse.Length = *end;
  return parse;
}

std::vector<WeightedItem> ParseWeightedList(std::string_view field) {
  std::vector<WeightedItem> items;
  while (!field.empty()) {
    const size_t comma = field.find(',');
    std::string_view element = field.substr(0, comma);
    field = comma == std::string_view::npos ? std::string_view{} : field.substr(comma + 1);
    const size_t semicolon = element.find(';');
    WeightedItem item;
    item.Value = Lower(TrimBlanksAndTabs(element.substr(0, semicolon)));
    if (item.Value.empty()) continue;
    std::string_view parameters =
        semicolon == std::string_view::npos ? std::string_view{} : element.substr(semicolon + 1);
    while (!parameters.empty()) {
      const size_t next = parameters.find(';');
      const std::string_view parameter = parameters.substr(0, next);
      parameters =
          next == std::string_view::npos ? std::string_view{} : parameters.substr(next + 1);
      const size_t equals = parameter.find('=');
      if (equals == std::string_view::npos) continue;
      const std::string name = Lower(TrimBlanksAndTabs(parameter.substr(0, equals)));
      std::string_view value = TrimBlanksAndTabs(parameter.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      if (name == "q") {
        item.Quality = ParseQuality(value).value_or(0);
      } else if (name == "version") {
        item.Version = Lower(value);
      }
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace agent
