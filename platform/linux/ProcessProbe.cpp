#include "platform/linux/ProcessProbe.h"

#include <cerrno>
#include <charconv>

#include "platform/FileAccess.h"
#include "platform/linux/ProcReaders.h"

namespace platform {

namespace {

// The n-th blank-separated field of text (0-based).
std::string_view Field(std::string_view text, int n) {
  size_t pos = 0;
  for (int i = 0;; ++i) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    if (pos >= text.size()) return {};
    if (i == n) return text.substr(pos, end - pos);
    pos = end;
  }
}

template <typename T>
std::optional<T> ToNumber(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ProcessIdentity> ParseProcessIdentity(std::string_view text) {
  size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.remove_suffix(1);
  // rest starts with field 3 (state); field 22 is the 20th after it.
  std::string_view state = Field(rest, 0);
  auto ppid = ToNumber<int>(Field(rest, 1));
  auto start_time = ToNumber<uint64_t>(Field(rest, 19));
  if (state.size() != 1 || !ppid || !start_time) return std::nullopt;
  return ProcessIdentity{state[0], *ppid, *start_time};
}

std::optional<ProcessIdentity> ReadProcessIdentity(int pid, const std::string& proc_root) {
  if (pid <= 0) return std::nullopt;
  std::string path = proc_root + "/" + std::to_string(pid) + "/stat";
  const std::optional<std::string> text = ReadKernelFileText(path, kMaxProcTextBytes);
  if (!text) return std::nullopt;
  return ParseProcessIdentity(*text);
}

bool ProcessIsAlive(int pid, uint64_t start_time) {
  auto stat = ReadProcessIdentity(pid);
  return stat && stat->state != 'Z' && stat->state != 'X' && stat->start_time == start_time;
}

}  // namespace platform
