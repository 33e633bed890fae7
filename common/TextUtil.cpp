#include "common/TextUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/AtomicFile.h"

namespace common {
namespace {

std::string FormatLocal(std::time_t when, const char* format) {
  std::tm parts{};
  localtime_r(&when, &parts);
  char buffer[64];
  const size_t n = std::strftime(buffer, sizeof(buffer), format, &parts);
  return std::string(buffer, n);
}

}  // namespace

// Parses a plain decimal number (sign, digits, point, exponent); nothing for any
// other text, hexadecimal, infinities and NaN included.
std::optional<double> ParseDecimal(std::string_view text) {
  const std::string_view trimmed = TrimBlanks(text);
  if (trimmed.empty()) return std::nullopt;
  for (char c : trimmed) {
    const bool allowed = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' ||
                         c == 'E';
    if (!allowed) return std::nullopt;
  }
  const std::string copy(trimmed);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string GeneralDateText(std::time_t when) {
  std::tm parts{};
  localtime_r(&when, &parts);
  if (parts.tm_hour == 0 && parts.tm_min == 0 && parts.tm_sec == 0) {
    return FormatLocal(when, "%m/%d/%Y");
  }
  return FormatLocal(when, "%m/%d/%Y %H:%M:%S");
}

std::string GeneralDateTextNow() { return GeneralDateText(std::time(nullptr)); }

std::string TimeStamp14(std::time_t when) { return FormatLocal(when, "%Y%m%d%H%M%S"); }

std::string NumberText(double value) {
  if (value == 0 || !std::isfinite(value)) return "0";
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.15G", value);
  return buffer;
}

double RoundHalfEven(double value) { return std::nearbyint(value); }

std::string ToUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitText(std::string_view text, std::string_view sep) {
  std::vector<std::string> pieces;
  if (sep.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  size_t start = 0;
  while (true) {
    const size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, at - start));
    start = at + sep.size();
  }
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::string HideSecrets(std::string_view text, std::vector<std::string> secrets) {
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string hidden(text);
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    const std::string upper_secret = ToUpper(secret);
    std::string upper = ToUpper(hidden);
    for (size_t at = upper.find(upper_secret); at != std::string::npos;
         at = upper.find(upper_secret, at + 3)) {
      hidden.replace(at, secret.size(), "***");
      upper.replace(at, secret.size(), "***");
    }
  }
  return hidden;
}

std::optional<bool> ToBoolean(std::string_view text) {
  const std::string upper = ToUpper(TrimBlanks(text));
  if (upper == "TRUE") return true;
  if (upper == "FALSE") return false;
  if (const auto number = ParseDecimal(text)) return *number != 0;
  return std::nullopt;
}

std::optional<int32_t> ToInt32(std::string_view text) {
  const auto number = ParseDecimal(text);
  if (!number) return std::nullopt;
  const double rounded = RoundHalfEven(*number);
  if (rounded < -2147483648.0 || rounded > 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(rounded);
}

std::string JoinCrLf(const std::vector<std::string>& lines, bool final_line_end) {
  std::string text;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (k > 0) text += "\r\n";
    text += lines[k];
  }
  if (final_line_end && !lines.empty()) text += "\r\n";
  return text;
}

std::string EndedPiecesCrLf(std::string_view text, char separator) {
  std::string lines;
  size_t piece = 0;
  for (size_t end = text.find(separator); end != std::string_view::npos;
       piece = end + 1, end = text.find(separator, piece)) {
    lines.append(text.substr(piece, end - piece));
    lines += "\r\n";
  }
  return lines;
}

bool WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

bool ReplaceFileBytes(const std::string& path, std::string_view bytes) {
  const int error = platform::WriteFileAtomic(path, bytes, false);
  errno = error;
  return error == 0;
}

bool AppendFileBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return content.str();
}

bool FileExists(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace common
