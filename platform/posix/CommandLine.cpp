#include "platform/CommandLine.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n && IsBlank(line[i])) ++i;
  if (i >= n) return args;

  // The program name: up to the next blank, or between quotes, taken literally.
  std::string program;
  bool quoted = false;
  for (; i < n; ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && IsBlank(c)) {
      break;
    } else {
      program += c;
    }
  }
  args.push_back(std::move(program));

  // The arguments, with the backslash and quote rules.
  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool in_quotes = false;
    while (i < n) {
      const char c = line[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
      } else if (c == '"') {
        if (in_quotes && i + 1 < n && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          in_quotes = !in_quotes;
          ++i;
        }
      } else if (!in_quotes && IsBlank(c)) {
        break;
      } else {
        arg += c;
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string& arg = args[k];
    if (k > 0) line += ' ';
    if (k == 0) {
      // The program name takes no escapes; quote it when it holds a blank.
      const bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
      line += quote ? "\"" + arg + "\"" : arg;
      continue;
    }
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    size_t slashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++slashes;
        continue;
      }
      if (c == '"') {
        line.append(slashes * 2 + 1, '\\');
      } else {
        line.append(slashes, '\\');
      }
      slashes = 0;
      line += c;
    }
    line.append(slashes * 2, '\\');
    line += '"';
  }
  return line;
}

}  // namespace platform
