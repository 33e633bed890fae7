#include "platform/linux/ProcReaders.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>

#include "platform/FileAccess.h"
#include "platform/Wait.h"

namespace platform {
namespace {

// The kernel's fixed inode number of the first pid namespace.
constexpr std::string_view kInitialPidNamespaceLink = "pid:[4026531836]";

// Splits off the next line (without its line feed).
std::string_view NextLine(std::string_view& text) {
  const size_t end = text.find('\n');
  const std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  return line;
}

// Splits off the next blank- or tab-separated token.
std::string_view NextToken(std::string_view& text) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  const size_t end = text.find_first_of(" \t\r\n");
  const std::string_view token = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end);
  return token;
}

template <typename Number>
std::optional<Number> ToNumber(std::string_view token) {
  Number value{};
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
  return value;
}

uint64_t NumberOrZero(std::string_view token) {
  return ToNumber<uint64_t>(token).value_or(0);
}

}  // namespace

std::string_view TrimWhite(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string JoinRoot(const std::string& root, std::string_view relative) {
  std::string path = root;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative);
  return path;
}


std::optional<std::string> ReadProcText(const std::string& root, std::string_view relative) {
  return ReadKernelFileText(JoinRoot(root, relative), kMaxProcTextBytes);
}

ProcStat ParseProcStat(std::string_view text) {
  ProcStat stat;
  while (!text.empty()) {
    std::string_view line = NextLine(text);
    const std::string_view key = NextToken(line);
    if (key.size() > 3 && key.substr(0, 3) == "cpu") {
      const auto number = ToNumber<int>(key.substr(3));
      if (!number) continue;
      CpuTimes cpu;
      cpu.Number = *number;
      uint64_t* fields[] = {&cpu.User,   &cpu.Nice, &cpu.System,  &cpu.Idle,
                            &cpu.IoWait, &cpu.Irq,  &cpu.SoftIrq, &cpu.Steal};
      for (uint64_t* field : fields) *field = NumberOrZero(NextToken(line));
      stat.Cpus.push_back(cpu);
    } else if (key == "ctxt") {
      stat.ContextSwitches = NumberOrZero(NextToken(line));
    } else if (key == "intr") {
      stat.Interrupts = NumberOrZero(NextToken(line));
    } else if (key == "procs_running") {
      stat.ProcsRunning = NumberOrZero(NextToken(line));
    } else if (key == "btime") {
      stat.BootTime = ToNumber<int64_t>(NextToken(line));
    }
  }
  return stat;
}

MemInfo ParseMemInfo(std::string_view text) {
  MemInfo info;
  uint64_t buffers = 0;
  uint64_t cached = 0;
  bool has_available = false;
  while (!text.empty()) {
    std::string_view line = NextLine(text);
    const std::string_view key = NextToken(line);
    const uint64_t bytes = NumberOrZero(NextToken(line)) * 1024;
    if (key == "MemTotal:") {
      info.MemTotal = bytes;
    } else if (key == "MemFree:") {
      info.MemFree = bytes;
    } else if (key == "MemAvailable:") {
      info.MemAvailable = bytes;
      has_available = true;
    } else if (key == "Buffers:") {
      buffers = bytes;
    } else if (key == "Cached:") {
      cached = bytes;
    } else if (key == "SwapTotal:") {
      info.SwapTotal = bytes;
    } else if (key == "SwapFree:") {
      info.SwapFree = bytes;
    } else if (key == "CommitLimit:") {
      info.CommitLimit = bytes;
    } else if (key == "Committed_AS:") {
      info.CommittedAs = bytes;
    }
  }
  if (!has_available) info.MemAvailable = info.MemFree + buffers + cached;
  return info;
}

std::optional<uint64_t> ParseKeyedNumber(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    std::string_view line = NextLine(text);
    if (NextToken(line) == key) return ToNumber<uint64_t>(NextToken(line));
  }
  return std::nullopt;
}

std::optional<LoadAvg> ParseLoadAvg(std::string_view text) {
  for (int i = 0; i < 3; ++i) NextToken(text);
  const std::string_view entities = NextToken(text);
  const size_t slash = entities.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto runnable = ToNumber<uint64_t>(entities.substr(0, slash));
  const auto total = ToNumber<uint64_t>(entities.substr(slash + 1));
  if (!runnable || !total) return std::nullopt;
  return LoadAvg{*runnable, *total};
}

std::optional<double> ParseUptime(std::string_view text) {
  const std::string token(NextToken(text));
  if (token.empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(token.c_str(), &end);
  if (end != token.c_str() + token.size() || seconds < 0) return std::nullopt;
  return seconds;
}

std::vector<NetDevice> ParseNetDev(std::string_view text) {
  std::vector<NetDevice> devices;
  while (!text.empty()) {
    std::string_view line = NextLine(text);
    const size_t colon = line.find(':');
    // The two heading lines hold '|' and no colon before it.
    if (colon == std::string_view::npos || line.find('|') != std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    name = NextToken(name);
    if (name.empty()) continue;
    std::string_view rest = line.substr(colon + 1);
    uint64_t fields[16] = {};
    size_t count = 0;
    for (; count < 16; ++count) {
      const auto value = ToNumber<uint64_t>(NextToken(rest));
      if (!value) break;
      fields[count] = *value;
    }
    if (count < 16) continue;
    NetDevice device;
    device.Name = std::string(name);
    device.RxBytes = fields[0];
    device.RxPackets = fields[1];
    device.RxErrors = fields[2];
    device.RxDropped = fields[3];
    device.TxBytes = fields[8];
    device.TxPackets = fields[9];
    device.TxErrors = fields[10];
    device.TxDropped = fields[11];
    devices.push_back(std::move(device));
  }
  return devices;
}

std::map<int, uint64_t> ParseInterruptsPerCpu(std::string_view text) {
  std::map<int, uint64_t> totals;
  std::vector<int> columns;
  std::string_view heading = NextLine(text);
  for (std::string_view token = NextToken(heading); !token.empty(); token = NextToken(heading)) {
    if (token.substr(0, 3) != "CPU") continue;
    if (const auto number = ToNumber<int>(token.substr(3))) {
      columns.push_back(*number);
      totals[*number] = 0;
    }
  }
  while (!text.empty()) {
    std::string_view line = NextLine(text);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view rest = line.substr(colon + 1);
    std::vector<uint64_t> counts;
    for (size_t i = 0; i < columns.size(); ++i) {
      const auto value = ToNumber<uint64_t>(NextToken(rest));
      if (!value) break;
      counts.push_back(*value);
    }
    // Lines such as ERR and MIS carry one system-wide figure, not one per column.
    if (counts.size() != columns.size()) continue;
    for (size_t i = 0; i < counts.size(); ++i) totals[columns[i]] += counts[i];
  }
  return totals;
}

std::optional<ProcessStat> ParseProcessStat(std::string_view text) {
  const size_t open_paren = text.find('(');
  const size_t close_paren = text.rfind(')');
  if (open_paren == std::string_view::npos || close_paren == std::string_view::npos ||
      close_paren < open_paren) {
    return std::nullopt;
  }
  ProcessStat stat;
  std::string_view head = text.substr(0, open_paren);
  const auto pid = ToNumber<int>(NextToken(head));
  if (!pid) return std::nullopt;
  stat.Pid = *pid;
  stat.Command = std::string(text.substr(open_paren + 1, close_paren - open_paren - 1));
  // Fields from the third on (state is the third), numbered as in proc(5).
  std::string_view rest = text.substr(close_paren + 1);
  std::vector<std::string_view> fields{{}, {}, {}};
  for (std::string_view token = NextToken(rest); !token.empty(); token = NextToken(rest)) {
    fields.push_back(token);
  }
  if (fields.size() < 25) return std::nullopt;
  stat.ParentPid = ToNumber<int>(fields[4]).value_or(0);
  stat.MinorFaults = NumberOrZero(fields[10]);
  stat.MajorFaults = NumberOrZero(fields[12]);
  stat.UserTicks = NumberOrZero(fields[14]);
  stat.SystemTicks = NumberOrZero(fields[15]);
  stat.Threads = ToNumber<int64_t>(fields[20]).value_or(0);
  stat.StartTicks = NumberOrZero(fields[22]);
  stat.VirtualBytes = NumberOrZero(fields[23]);
  return stat;
}

std::optional<ProcessStatm> ParseStatm(std::string_view text) {
  std::string_view fields[6];
  for (std::string_view& field : fields) field = NextToken(text);
  const auto resident = ToNumber<uint64_t>(fields[1]);
  const auto data = ToNumber<uint64_t>(fields[5]);
  if (!resident || !data) return std::nullopt;
  return ProcessStatm{*resident, *data};
}

std::vector<int> ListProcessIds(const std::string& root) {
  std::vector<int> pids;
  const std::string path = JoinRoot(root, "proc");
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return pids;
  while (const dirent* entry = readdir(dir)) {
    if (const auto pid = ToNumber<int>(entry->d_name)) pids.push_back(*pid);
    YieldPoint();
  }
  closedir(dir);
  return pids;
}

bool InInitialPidNamespace(const std::string& root) {
  const std::string path = JoinRoot(root, "proc/self/ns/pid");
  char target[64];
  const ssize_t n = readlink(path.c_str(), target, sizeof(target));
  return n > 0 && std::string_view(target, static_cast<size_t>(n)) == kInitialPidNamespaceLink;
}

std::optional<uint32_t> ReadLinkFlags(const std::string& root, const std::string& name) {
  const auto text = ReadProcText(root, "sys/class/net/" + name + "/flags");
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  std::string_view token = NextToken(rest);
  if (token.substr(0, 2) == "0x" || token.substr(0, 2) == "0X") token.remove_prefix(2);
  uint32_t flags = 0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), flags, 16);
  if (error != std::errc() || end != token.data() + token.size() || token.empty()) {
    return std::nullopt;
  }
  return flags;
}

std::optional<uint64_t> ReadLinkSpeed(const std::string& root, const std::string& name) {
  const auto text = ReadProcText(root, "sys/class/net/" + name + "/speed");
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  const auto megabits = ToNumber<int64_t>(NextToken(rest));
  if (!megabits || *megabits <= 0) return std::nullopt;
  return static_cast<uint64_t>(*megabits) * 1000000;
}

}  // namespace platform
