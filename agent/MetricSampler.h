#pragma once
// The metric sampler: one pass refreshes the MetricSnapshot from the
// performance data, the memory status, the drives and the command probes,
// serving clients between its readings.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Drives.h"
#include "platform/MemoryStatus.h"

namespace common {
struct AgentConfig;
class PerfReader;
}  // namespace common

namespace agent {

struct MetricSnapshot;

// What a pass draws on besides the performance reader. The agent's own parts
// are the command server, the platform and the task sweep; tests put fakes in.
struct SamplerParts {
  common::PerfReader* Reader = nullptr;  // nullptr: the program's reader
  std::function<void(int listen_socket)> Serve;
  std::function<std::optional<platform::MemoryStatus>()> ReadMemoryStatus;
  std::function<std::vector<platform::DriveInfo>()> ListDrives;
  std::function<int32_t(std::string_view command_line, std::string_view filter1,
                        std::string_view filter2)>
      CountMatchingLines;
  std::function<void()> CleanTaskFiles;
};

// The agent's own parts.
SamplerParts AgentSamplerParts();

class MetricSampler {
 public:
  explicit MetricSampler(SamplerParts parts);

  // Runs one pass: reads config, writes snapshot, clears first_pass at its
  // end (also when the pass fails). Errors never leave it; they are logged.
  void PerformMonitoring(int listen_socket, const common::AgentConfig& config,
                         MetricSnapshot& snapshot, bool& first_pass);

  // Passes counted so far; runs 1 .. 100000, then 0 again.
  int32_t PassCount() const { return pass_count_; }

 private:
  // The steps of a pass, in order.
  void LoadObjects(const common::AgentConfig& config);
  void ReadProcessors(int listen_socket, bool first_pass);
  void ComputeProcessorBusy(MetricSnapshot& snapshot, bool first_pass);
  void ReadSystem(int listen_socket, MetricSnapshot& snapshot);
  void ReadMemory(int listen_socket, MetricSnapshot& snapshot);
  void ReadNetwork(int listen_socket, const common::AgentConfig& config, MetricSnapshot& snapshot);
  void ReadChosenCounters(int listen_socket, const common::AgentConfig& config,
                          MetricSnapshot& snapshot);
  void ReadDisks(MetricSnapshot& snapshot);
  void RunProbes(const common::AgentConfig& config, MetricSnapshot& snapshot, bool first_pass);

  // A raw counter value, 0 when nothing matched; a failed lookup ends the pass.
  double Lookup(std::string_view object_index, std::string_view counter_name,
                std::string_view instance_name);
  void Serve(int listen_socket);
  // Closes the processor step: the time base and idle values become the
  // previous ones.
  void KeepProcessorReadings();
  bool Even(bool first_pass) const { return pass_count_ % 2 == 0 || first_pass; }

  SamplerParts parts_;
  common::PerfReader& reader_;
  int32_t pass_count_ = 0;
  std::array<double, 2> idle_{};
  std::array<double, 2> previous_idle_{};
  double previous_time_ = 0;
  std::string step_label_;
};

// The agent's sampler.
MetricSampler& TheMetricSampler();

// Runs one sampling pass over the agent's configuration and snapshot, serving
// clients on listen_socket between readings.
void PerformMonitoring(int listen_socket);

}  // namespace agent
