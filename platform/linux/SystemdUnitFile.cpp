#include "platform/linux/SystemdUnitFile.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/posix/ScmStore.h"

namespace platform::systemd {

namespace {

constexpr std::string_view kDescriptionKey = "X-Tarvo-Description=";

// Unit file values are single lines.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A word of a unit setting that systemd splits into words: quoted when it
// holds blanks, quotes, backslashes or nothing; "%" doubled (specifiers), and
// "$" as well where the setting expands variables.
std::string QuoteWord(std::string_view word, bool double_dollar) {
  std::string escaped;
  bool quote = word.empty();
  for (char c : word) {
    if (c == '%' || (c == '$' && double_dollar)) {
      escaped += c;  // doubled: literal
    } else if (c == '\\' || c == '"') {
      escaped += '\\';
      quote = true;
    } else if (c == ' ' || c == '\t' || c == '\'' || c == ';') {
      quote = true;
    }
    escaped += c;
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

// "%" starts a specifier in most unit settings.
std::string EscapeSpecifiers(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

}  // namespace

std::string UnitNameFor(std::string_view service_name) {
  std::string_view base = service_name;
  if (base.size() > 8 && scm::NamesEqual(base.substr(base.size() - 8), ".service")) {
    base.remove_suffix(8);
  }
  std::string id;
  for (char c : base) {
    const unsigned char byte = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == ' ' || c == '\t') {
      id += '-';
    } else if ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == ':' ||
               byte == '_' || byte == '.' || byte == '-') {
      id += static_cast<char>(byte);
    }
  }
  if (id.empty()) id = "service";
  return id + ".service";
}

std::string UnitFolder() {
  const char* folder = std::getenv("TARVO_SYSTEMD_UNIT_DIR");
  return folder != nullptr && *folder != '\0' ? folder : "/etc/systemd/system";
}

std::string QuoteExecWord(std::string_view word, bool program) {
  return QuoteWord(word, !program);
}

bool ValidProgramPath(std::string_view path) {
  return !path.empty() && std::none_of(path.begin(), path.end(), [](char c) {
    return c == '"' || c == '\'' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ||
           c == 0x7F;
  });
}

std::optional<std::string> UnitFileDescription(std::string_view unit_text) {
  std::optional<std::string> description;
  bool in_unit = false;
  for (std::string_view line : Lines(unit_text)) {
    line = Trimmed(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      in_unit = line == "[Unit]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!in_unit || eq == std::string_view::npos || Trimmed(line.substr(0, eq)) != "Description") {
      continue;
    }
    description = std::string(Trimmed(line.substr(eq + 1)));
  }
  if (description && description->empty()) return std::nullopt;  // an empty one resets it
  return description;
}

std::string UnitFileText(const UnitDefinition& unit) {
  std::string text = "[Unit]\nDescription=" + EscapeSpecifiers(OneLine(unit.description)) + "\n";
  text += "\n[Service]\nType=notify\nExecStart=";
  for (size_t i = 0; i < unit.command.size(); ++i) {
    if (i > 0) text += ' ';
    text += QuoteExecWord(unit.command[i], i == 0);
  }
  text += "\n";
  if (!unit.user.empty()) text += "User=" + EscapeSpecifiers(OneLine(unit.user)) + "\n";
  if (!unit.home.empty()) {
    // Environment= expands specifiers but no variables.
    text += "Environment=" + QuoteWord("TARVO_HOME=" + OneLine(unit.home), false) + "\n";
  }
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

std::optional<std::string> DescriptionLine(std::string_view unit_text) {
  for (std::string_view line : Lines(unit_text)) {
    if (!line.starts_with(kDescriptionKey)) continue;
    std::string value;
    line.remove_prefix(kDescriptionKey.size());
    for (size_t i = 0; i < line.size(); ++i) {
      value += line[i];
      if (line[i] == '%' && i + 1 < line.size() && line[i + 1] == '%') ++i;
    }
    return value;
  }
  return std::nullopt;
}

std::string WithDescriptionLine(std::string_view unit_text, std::string_view description) {
  const std::string line =
      std::string(kDescriptionKey) + EscapeSpecifiers(OneLine(description)) + "\n";
  std::string out;
  bool placed = false;
  size_t start = 0;
  while (start < unit_text.size()) {
    size_t end = unit_text.find('\n', start);
    const size_t next = end == std::string_view::npos ? unit_text.size() : end + 1;
    std::string_view current = unit_text.substr(start, next - start);
    start = next;
    if (current.starts_with(kDescriptionKey)) continue;
    out += current;
    if (!out.ends_with('\n')) out += '\n';
    if (!placed && current.starts_with("[Unit]")) {
      out += line;
      placed = true;
    }
  }
  if (!placed) out = "[Unit]\n" + line + out;
  return out;
}

}  // namespace platform::systemd
