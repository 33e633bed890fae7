#include "agent/MetricsExposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "common/TextUtil.h"

namespace agent {
namespace {

// Whole numbers below 2^53 are exact in a double.
constexpr double kExactWholeLimit = 9007199254740992.0;

constexpr std::array<const char*, 8> kDriveLetters = {"C", "D", "E", "F", "G", "H", "I", "J"};

using Labels = std::vector<std::pair<std::string, std::string>>;

// Adds a family and returns it for its samples.
MetricFamily& AddFamily(std::vector<MetricFamily>& families, std::string name, std::string help,
                        MetricType type = MetricType::kGauge) {
  families.push_back({std::move(name), std::move(help), type, {}});
  return families.back();
}

void AddSample(MetricFamily& family, double value, Labels labels = {}) {
  family.Samples.push_back({std::move(labels), value});
}

std::string SlotText(size_t index) { return std::to_string(index + 1); }

// A free amount as RESUMEMON reports it: never below zero.
double FreeAmount(double value) { return std::max(0.0, value); }

void AddSnapshotFamilies(const ExpositionInput& input, std::vector<MetricFamily>& families) {
  const MetricSnapshot& snapshot = *input.Snapshot;
  const common::AgentConfig& config = *input.Config;

  MetricFamily& cpu = AddFamily(families, "tarvo_cpu_busy_ratio",
                                "Share of the last sampling interval the processor was busy.");
  AddSample(cpu, snapshot.CpuBusy[0] / 100, {{"processor", "0"}});
  if (input.SecondProcessor) AddSample(cpu, snapshot.CpuBusy[1] / 100, {{"processor", "1"}});

  AddSample(AddFamily(families, "tarvo_processes", "Processes running on the machine."),
            snapshot.ProcessCount);
  AddSample(AddFamily(families, "tarvo_threads", "Threads running on the machine."),
            snapshot.ThreadCount);

  const std::pair<const char*, const char*> memory_help[] = {
      {"tarvo_memory_ram_available_bytes", "Physical memory available without swapping."},
      {"tarvo_memory_ram_total_bytes", "Physical memory of the machine."},
      {"tarvo_memory_swap_free_bytes", "Commit limit not yet committed (the page file)."},
      {"tarvo_memory_swap_total_bytes", "Commit limit: physical memory and swap (the page file)."},
      {"tarvo_memory_virtual_free_bytes", "Address space of the agent not mapped."},
      {"tarvo_memory_virtual_total_bytes", "Address space of the agent."}};
  const double memory_values[] = {FreeAmount(snapshot.RamAvailable), snapshot.RamTotal,
                                  FreeAmount(snapshot.SwapFree),     snapshot.SwapTotal,
                                  FreeAmount(snapshot.VirtualFree),  snapshot.VirtualTotal};
  for (size_t k = 0; k < std::size(memory_values); ++k) {
    AddSample(AddFamily(families, memory_help[k].first, memory_help[k].second), memory_values[k]);
  }

  MetricFamily& received =
      AddFamily(families, "tarvo_network_receive_bytes",
                "Bytes received by the interface of a NETINTERFACE slot.", MetricType::kCounter);
  MetricFamily& sent =
      AddFamily(families, "tarvo_network_transmit_bytes",
                "Bytes sent by the interface of a NETINTERFACE slot.", MetricType::kCounter);
  // The first slot reads the first interface of the performance data when it
  // names none (its interface label is then empty); the others are read only
  // when they name one.
  for (size_t n = 0; n < snapshot.NetIn.size() && config.NetMon; ++n) {
    if (n > 0 && config.NetInterface[n].empty()) continue;
    const Labels labels = {{"slot", SlotText(n)}, {"interface", config.NetInterface[n]}};
    AddSample(received, snapshot.NetIn[n], labels);
    AddSample(sent, snapshot.NetOut[n], labels);
  }

  MetricFamily& perfmon =
      AddFamily(families, "tarvo_perfmon_value",
                "Raw value of the performance counter of a PERFORMANCEMON slot.",
                MetricType::kUnknown);
  for (size_t n = 0; n < snapshot.PerfmonValue.size(); ++n) {
    const common::PerfMonEntry& entry = config.PerfMon[n];
    if (entry.ObjectIndex.empty()) continue;
    AddSample(perfmon, snapshot.PerfmonValue[n],
              {{"slot", SlotText(n)},
               {"object", entry.ObjectIndex},
               {"counter", entry.CounterName},
               {"instance", entry.InstanceName}});
  }

  MetricFamily& disk_free =
      AddFamily(families, "tarvo_disk_free_bytes", "Bytes free on the drive for any user.");
  MetricFamily& disk_size = AddFamily(families, "tarvo_disk_size_bytes", "Size of the drive.");
  // A drive never read (absent, never ready) has no size yet.
  for (size_t n = 0; n < snapshot.DiskTotal.size(); ++n) {
    if (snapshot.DiskTotal[n] <= 0) continue;
    const Labels labels = {{"drive", kDriveLetters[n]}, {"mountpoint", snapshot.DiskMountPoint[n]}};
    AddSample(disk_free, FreeAmount(snapshot.DiskFree[n]), labels);
    AddSample(disk_size, snapshot.DiskTotal[n], labels);
  }

  MetricFamily& probe = AddFamily(
      families, "tarvo_probe_result",
      "Result of the probe command of a COMMAND slot: its output lines holding both filters, plus one.");
  for (size_t n = 0; n < snapshot.CommandResult.size(); ++n) {
    if (!snapshot.CommandResult[n]) continue;
    const common::CommandEntry& command = config.Command[n];
    AddSample(probe, static_cast<double>(*snapshot.CommandResult[n]),
              {{"slot", SlotText(n)},
               {"command", std::string(common::TrimBlanks(command.Program + command.Arguments))}});
  }
}

void AddAgentFamilies(const ExpositionInput& input, std::vector<MetricFamily>& families) {
  AddSample(AddFamily(families, "tarvo_build_info", "The agent's version; always 1."), 1,
            {{"version", input.Version}});
  MetricFamily& age = AddFamily(families, "tarvo_snapshot_age_seconds",
                                "Seconds since the sampler last ended a pass.");
  if (input.SnapshotAgeSeconds) AddSample(age, *input.SnapshotAgeSeconds);
  MetricFamily& records = AddFamily(families, "tarvo_task_records",
                                    "Task records in the Tasks/Queue and Tasks/Done folders.");
  if (input.QueueRecords) AddSample(records, static_cast<double>(*input.QueueRecords), {{"folder", "Queue"}});
  if (input.DoneRecords) AddSample(records, static_cast<double>(*input.DoneRecords), {{"folder", "Done"}});
  AddSample(AddFamily(families, "tarvo_remote_exec_allowed",
                      "1 when ALLOWREMOTEEXEC lets clients run tasks and steer services, else 0."),
            input.Config->AllowRemoteExec ? 1 : 0);
}

void AddProcessFamilies(const platform::ProcessUsage& usage, std::vector<MetricFamily>& families) {
  AddSample(AddFamily(families, "process_cpu_seconds", "Total user and system CPU time spent in seconds.",
                      MetricType::kCounter),
            usage.CpuSeconds);
  AddSample(AddFamily(families, "process_resident_memory_bytes", "Resident memory size in bytes."),
            static_cast<double>(usage.ResidentBytes));
  AddSample(AddFamily(families, "process_virtual_memory_bytes", "Virtual memory size in bytes."),
            static_cast<double>(usage.VirtualBytes));
  AddSample(AddFamily(families, "process_start_time_seconds",
                      "Start time of the process since unix epoch in seconds."),
            usage.StartTime);
  MetricFamily& open = AddFamily(families, "process_open_fds", "Number of open file descriptors.");
  if (usage.OpenDescriptors) AddSample(open, static_cast<double>(*usage.OpenDescriptors));
  MetricFamily& max = AddFamily(families, "process_max_fds", "Maximum number of open file descriptors.");
  if (usage.MaxDescriptors) AddSample(max, static_cast<double>(*usage.MaxDescriptors));
}

// Single-byte text as UTF-8 (each byte is its own code point), with the
// escapes of the format: backslash and line feed always, the double quote in
// label values and in OpenMetrics help texts.
void AppendEscaped(std::string& out, std::string_view text, bool escape_quote) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && escape_quote) {
      out += "\\\"";
    } else {
      common::AppendAsUtf8(out, c);
    }
  }
}

void AppendValue(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else if (value == std::trunc(value) && std::fabs(value) < kExactWholeLimit) {
    // Counts and byte amounts as plain whole numbers ("3000000", not "3e+06").
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value));
    out.append(buffer, result.ptr);
  } else {
    // The shortest text that reads back as the same double.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
  }
}

std::string_view TypeWord(MetricType type, ExpositionFormat format) {
  switch (type) {
    case MetricType::kCounter:
      return "counter";
    case MetricType::kGauge:
      return "gauge";
    case MetricType::kUnknown:
      break;
  }
  return format == ExpositionFormat::kOpenMetrics ? "unknown" : "untyped";
}

}  // namespace

std::vector<MetricFamily> BuildMetricFamilies(const ExpositionInput& input) {
  std::vector<MetricFamily> families;
  families.reserve(32);
  if (input.SnapshotAgeSeconds) AddSnapshotFamilies(input, families);
  AddAgentFamilies(input, families);
  if (input.Process) AddProcessFamilies(*input.Process, families);
  return families;
}

std::string RenderExposition(const std::vector<MetricFamily>& families, ExpositionFormat format) {
  const bool open_metrics = format == ExpositionFormat::kOpenMetrics;
  std::string out;
  out.reserve(8192);
  for (const MetricFamily& family : families) {
    if (family.Samples.empty()) continue;
    const bool counter = family.Type == MetricType::kCounter;
    const std::string sample_name = counter ? family.Name + "_total" : family.Name;
    // The text format names a counter's family as its samples; OpenMetrics
    // names it without the suffix.
    const std::string& family_name = counter && !open_metrics ? sample_name : family.Name;
    out += "# HELP ";
    out += family_name;
    out += ' ';
    AppendEscaped(out, family.Help, open_metrics);
    out += "\n# TYPE ";
    out += family_name;
    out += ' ';
    out += TypeWord(family.Type, format);
    out += '\n';
    for (const MetricSample& sample : family.Samples) {
      out += sample_name;
      if (!sample.Labels.empty()) {
        out += '{';
        for (size_t k = 0; k < sample.Labels.size(); ++k) {
          if (k > 0) out += ',';
          out += sample.Labels[k].first;
          out += "=\"";
          AppendEscaped(out, sample.Labels[k].second, true);
          out += '"';
        }
        out += '}';
      }
      out += ' ';
      AppendValue(out, sample.Value);
      out += '\n';
    }
  }
  if (open_metrics) out += "# EOF\n";
  return out;
}

}  // namespace agent
