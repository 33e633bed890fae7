#include "client/AgentPolling.h"

#include <array>
#include <charconv>

namespace client {
namespace {

constexpr std::array<Form1Row, 25> kRows{{
    {"Processor (0)", "Processor0F", "CPU1=", "", "0"},
    {"Processor (1)", "Processor1F", "CPU2=", "", "0"},
    {"Free Memory (Ram)", "MemoryRAMF", "MEMORYRAM=", " bytes", ""},
    {"Free Swap Memory", "PageFileF", "MEMORYSWAP=", " bytes", ""},
    {"Free Virtual Memory", "MemoryVirtualF", "MEMORYVIRTUAL=", " bytes", ""},
    {"Logical Disk 1", "DiskID1F", "DISK1=", " k bytes", ""},
    {"Logical Disk 2", "DiskID2F", "DISK2=", " k bytes", ""},
    {"Logical Disk 3", "Text2", "", " k bytes", ""},
    {"Logical Disk 4", "Text4", "", " k bytes", ""},
    {"Logical Disk 5", "Text5", "", " k bytes", ""},
    {"Logical Disk 6", "Text6", "", " k bytes", ""},
    {"Logical Disk 7", "Text7", "", "k bytes ", ""},
    {"Logical Disk 8", "Text8", "", "", ""},
    {"Num Processes", "ProcessesF", "PROCS=", "", ""},
    {"Threads", "ThreadsF", "THREADS=", "", ""},
    {"Bytes IN Interace 1", "NetBytesIN1F", "NETIN1=", "", ""},
    {"Bytes OUT Interace 1", "NetBytesOUT1F", "NETOUT1=", "", ""},
    {"Bytes IN Interace 2", "NetBytesIN2F", "NETIN2=", "", ""},
    {"Bytes OUT Interace 2", "NetBytesOUT2F", "NETOUT2=", "", ""},
    {"Performance Mon 1", "PerfMon1F", "PERFMON1=", "", ""},
    {"Performance Mon 2", "PerfMon2F", "PERFMON2=", "", ""},
    {"Performance Mon 3", "PerfMon3F", "PERFMON3=", "", ""},
    {"Command 1", "Command1F", "CMD1=", "", ""},
    {"Command 2", "Command2F", "CMD2=", "", ""},
    {"Command 3", "Command3F", "CMD3=", "", ""},
}};

}  // namespace

std::span<const Form1Row> Form1Rows() { return kRows; }

std::optional<std::vector<std::string>> ValuesFromReply(std::string_view reply,
                                                        std::span<const std::string> keys) {
  std::vector<std::string> values;
  values.reserve(keys.size());
  for (const std::string& key : keys) {
    const size_t found = reply.find(key);
    if (found == std::string_view::npos) return std::nullopt;
    const size_t start = found + key.size();
    const size_t end = std::min(reply.find('\r', start), reply.find(key, start));
    values.emplace_back(reply.substr(start, end == std::string_view::npos ? end : end - start));
  }
  return values;
}

std::string RefreshStatusText(std::string_view date, std::string_view target) {
  std::string text = "Refresh time:   ";
  text += date;
  text += "    (";
  text += target;
  text += ")";
  return text;
}

std::string FailedStatusText(std::string_view date) {
  std::string text = "Refresh time:   ";
  text += date;
  text += " !";
  return text;
}

HostAndPort SplitHostAndPort(std::string_view text, uint16_t default_port) {
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos && text.find(':') == colon) {
    const std::string_view digits = text.substr(colon + 1);
    uint16_t port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error == std::errc() && end == digits.data() + digits.size() && port != 0) {
      return {std::string(text.substr(0, colon)), port};
    }
  }
  return {std::string(text), default_port};
}

}  // namespace client
