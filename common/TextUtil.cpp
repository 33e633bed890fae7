#include "common/TextUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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
void AppendAsUtf8(std::string& out, char byte) {
  const auto code = static_cast<unsigned char>(byte);
  if (code < 0x80) {
    out += byte;
    return;
  }
  out += static_cast<char>(0xC0 | (code >> 6));
  out += static_cast<char>(0x80 | (code & 0x3F));
}

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

// Adding and taking away 2^52 leaves no fraction bits, and the default
// rounding mode sends ties to the even neighbour. Done here rather than with
// nearbyint so that a program needing no other mathematics does not load the
// whole maths library for it.
double RoundHalfEven(double value) {
  constexpr double kTwoPower52 = 4503599627370496.0;
  const double magnitude = std::fabs(value);
  if (!(magnitude < kTwoPower52)) return value;  // already whole, infinite or NaN
  return std::copysign((magnitude + kTwoPower52) - kTwoPower52, value);
}

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
  // A request crafted with thousands of passwords must not make one log entry
  // take unbounded time: past this much work the entry is hidden whole.
  constexpr size_t kMaxSecrets = 64;
  constexpr size_t kMaskBudget = size_t{1} << 26;
  std::vector<std::string> wanted;
  size_t total = 0;
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    wanted.push_back(ToUpper(secret));
    total += secret.size();
  }
  if (wanted.empty()) return std::string(text);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  if (wanted.size() > kMaxSecrets || text.size() * total > kMaskBudget) return "***";

  // Every byte covered by an occurrence of any secret is hidden; each run of
  // hidden bytes becomes one "***", so a secret inside another leaves nothing.
  const std::string upper = ToUpper(text);
  std::vector<bool> hide(text.size(), false);
  for (const std::string& secret : wanted) {
    for (size_t at = upper.find(secret); at != std::string::npos; at = upper.find(secret, at + 1)) {
      std::fill(hide.begin() + static_cast<std::ptrdiff_t>(at),
                hide.begin() + static_cast<std::ptrdiff_t>(at + secret.size()), true);
    }
  }
  std::string hidden;
  hidden.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (!hide[i]) {
      hidden += text[i];
    } else if (i == 0 || !hide[i - 1]) {
      hidden += "***";
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

}  // namespace common
