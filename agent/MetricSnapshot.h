#pragma once
// The agent's current metric values, written by the sampler and read by the
// monitoring replies, the help text and the RRD feed.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace agent {

struct MetricSnapshot {
  std::array<double, 2> CpuBusy{};       // percent busy of processors 0 and 1
  int32_t ProcessCount = 0;
  int32_t ThreadCount = 0;
  // Memory amounts in bytes, kept in 64-bit range (never wrapped to negative).
  double RamAvailable = 0;
  double RamTotal = 0;
  double SwapFree = 0;
  double SwapTotal = 0;
  double VirtualFree = 0;
  double VirtualTotal = 0;
  std::array<double, 4> NetIn{};         // raw cumulative received bytes
  std::array<double, 4> NetOut{};        // raw cumulative sent bytes
  std::array<double, 4> PerfmonValue{};  // raw values of PERFORMANCEMON1..4
  std::array<double, 8> DiskFree{};      // drives C..J, bytes
  std::array<double, 8> DiskTotal{};
  std::array<std::string, 8> DiskMountPoint{};  // where each drive was mounted when read
  std::array<std::optional<int64_t>, 3> CommandResult{};  // empty until first run
  // When the sampler last ended a pass; empty before the first one ends.
  std::optional<std::chrono::steady_clock::time_point> PassEnded;
};

MetricSnapshot& TheMetricSnapshot();

}  // namespace agent
