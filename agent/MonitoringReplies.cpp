#include "agent/MonitoringReplies.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "agent/MetricSnapshot.h"
#include "common/TextUtil.h"

namespace agent {
namespace {

bool Has(std::string_view line, std::string_view selector) {
  return line.find(selector) != std::string_view::npos;
}

// The value rounded to a whole number, ties to the even neighbour, written as
// a plain decimal integer.
std::string RoundedText(double value) {
  const double rounded = common::RoundHalfEven(value);
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.0f", rounded == 0 ? 0.0 : rounded);
  return buffer;
}

// A memory or disk amount that is a difference of two readings; a reading
// taken between two samples never makes it negative.
double UsedAmount(double total, double free) {
  return std::max(0.0, total - free);
}

std::string ResultText(const std::optional<int64_t>& result) {
  return result ? std::to_string(*result) : std::string();
}

// The last selector of the list that the line holds, by its position in the
// list (each one present replaces the reply); nothing when none is there.
template <size_t N>
std::optional<size_t> LastSelector(std::string_view line,
                                   const std::array<std::string_view, N>& selectors) {
  std::optional<size_t> found;
  for (size_t i = 0; i < N; ++i) {
    if (Has(line, selectors[i])) found = i;
  }
  return found;
}

constexpr std::array<std::string_view, 8> kDriveSelectors = {"1", "2", "3", "4",
                                                             "5", "6", "7", "8"};
constexpr std::array<std::string_view, 3> kCommandSelectors = {"1", "2", "3"};
// Tested from 4 down, so the smallest digit present wins.
constexpr std::array<std::string_view, 4> kInterfaceSelectors = {"4", "3", "2", "1"};
constexpr std::array<std::string_view, 3> kMemorySelectors = {"RAM", "SWAP", "VIRTUAL"};

// Interface number (0-based) the line selects.
std::optional<size_t> InterfaceOf(std::string_view line) {
  const auto found = LastSelector(line, kInterfaceSelectors);
  if (!found) return std::nullopt;
  return 3 - *found;
}

int ProcessorOf(std::string_view line) {
  return Has(line, "1") ? 1 : 0;
}

}  // namespace

HandlerResult FcpuReply(std::string_view line) {
  return HandlerResult::Reply(RoundedText(100 - TheMetricSnapshot().CpuBusy[ProcessorOf(line)]));
}

HandlerResult CpuReply(std::string_view line) {
  return HandlerResult::Reply(RoundedText(TheMetricSnapshot().CpuBusy[ProcessorOf(line)]));
}

HandlerResult NetInReply(std::string_view line) {
  const auto n = InterfaceOf(line);
  if (!n) return HandlerResult::NoReply();
  return HandlerResult::Reply(RoundedText(TheMetricSnapshot().NetIn[*n]));
}

HandlerResult NetOutReply(std::string_view line) {
  const auto n = InterfaceOf(line);
  if (!n) return HandlerResult::NoReply();
  return HandlerResult::Reply(RoundedText(TheMetricSnapshot().NetOut[*n]));
}

HandlerResult PerfmonReply(int index, std::string_view) {
  if (index < 0 || index > 3) return HandlerResult::NoReply();
  return HandlerResult::Reply(common::NumberText(TheMetricSnapshot().PerfmonValue[index]));
}

HandlerResult FdiskReply(std::string_view line) {
  const auto n = LastSelector(line, kDriveSelectors);
  if (!n) return HandlerResult::NoReply();
  return HandlerResult::Reply(common::NumberText(TheMetricSnapshot().DiskFree[*n]));
}

HandlerResult DiskReply(std::string_view line) {
  const auto n = LastSelector(line, kDriveSelectors);
  if (!n) return HandlerResult::NoReply();
  const MetricSnapshot& snapshot = TheMetricSnapshot();
  return HandlerResult::Reply(
      common::NumberText(UsedAmount(snapshot.DiskTotal[*n], snapshot.DiskFree[*n])));
}

HandlerResult FmemoryReply(std::string_view line) {
  const auto n = LastSelector(line, kMemorySelectors);
  if (!n) return HandlerResult::NoReply();
  const MetricSnapshot& snapshot = TheMetricSnapshot();
  const double free[] = {snapshot.RamAvailable, snapshot.SwapFree, snapshot.VirtualFree};
  return HandlerResult::Reply(common::NumberText(std::max(0.0, free[*n])));
}

HandlerResult MemoryReply(std::string_view line) {
  const auto n = LastSelector(line, kMemorySelectors);
  if (!n) return HandlerResult::NoReply();
  const MetricSnapshot& snapshot = TheMetricSnapshot();
  const double used[] = {UsedAmount(snapshot.RamTotal, snapshot.RamAvailable),
                         UsedAmount(snapshot.SwapTotal, snapshot.SwapFree),
                         UsedAmount(snapshot.VirtualTotal, snapshot.VirtualFree)};
  return HandlerResult::Reply(common::NumberText(used[*n]));
}

HandlerResult ProcsReply(std::string_view) {
  return HandlerResult::Reply(std::to_string(TheMetricSnapshot().ProcessCount));
}

HandlerResult ThreadsReply(std::string_view) {
  return HandlerResult::Reply(std::to_string(TheMetricSnapshot().ThreadCount));
}

HandlerResult CmdReply(std::string_view line) {
  const auto n = LastSelector(line, kCommandSelectors);
  if (!n) return HandlerResult::NoReply();
  return HandlerResult::Reply(ResultText(TheMetricSnapshot().CommandResult[*n]));
}

HandlerResult ResumeMonReply(std::string_view) {
  const MetricSnapshot& snapshot = TheMetricSnapshot();
  std::string text;
  const auto add = [&text](std::string_view name, const std::string& value) {
    text.append(name);
    text.append(value);
    text.append("\r\n");
  };
  const auto number = [](double value) { return common::NumberText(value); };
  // Amounts in the record are free amounts, never below zero.
  const auto amount = [](double value) { return common::NumberText(std::max(0.0, value)); };
  add("CPU1=", RoundedText(snapshot.CpuBusy[0]));
  add("CPU2=", RoundedText(snapshot.CpuBusy[1]));
  for (size_t i = 0; i < 4; ++i) {
    add("PERFMON" + std::to_string(i + 1) + "=", number(snapshot.PerfmonValue[i]));
  }
  for (size_t i = 0; i < 8; ++i) {
    add("DISK" + std::to_string(i + 1) + "=", amount(snapshot.DiskFree[i]));
  }
  for (size_t i = 0; i < 4; ++i) {
    add("NETIN" + std::to_string(i + 1) + "=", number(snapshot.NetIn[i]));
    add("NETOUT" + std::to_string(i + 1) + "=", number(snapshot.NetOut[i]));
  }
  add("MEMORYRAM=", amount(snapshot.RamAvailable));
  add("MEMORYSWAP=", amount(snapshot.SwapFree));
  add("MEMORYVIRTUAL=", amount(snapshot.VirtualFree));
  add("PROCS=", std::to_string(snapshot.ProcessCount));
  add("THREADS=", std::to_string(snapshot.ThreadCount));
  for (size_t i = 0; i < 3; ++i) {
    add("CMD" + std::to_string(i + 1) + "=", ResultText(snapshot.CommandResult[i]));
  }
  return HandlerResult::Reply(std::move(text));
}

}  // namespace agent
