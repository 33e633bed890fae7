#pragma once
// The Prometheus exposition of the agent: the metric families built from the
// MetricSnapshot (the values RESUMEMON answers from) and the agent's own
// figures, written in the text format 0.0.4 or in OpenMetrics 1.0.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/MetricSnapshot.h"
#include "common/AgentConfig.h"
#include "platform/ProcessUsage.h"

namespace agent {

enum class ExpositionFormat { kText, kOpenMetrics };

// The Content-Type of each format.
inline constexpr std::string_view kTextContentType = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr std::string_view kOpenMetricsContentType =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";

enum class MetricType { kGauge, kCounter, kUnknown };

struct MetricSample {
  std::vector<std::pair<std::string, std::string>> Labels;  // name, value (single-byte text)
  double Value = 0;
};

struct MetricFamily {
  std::string Name;  // a counter's name without its "_total" suffix
  std::string Help;
  MetricType Type = MetricType::kGauge;
  std::vector<MetricSample> Samples;
};

// Everything one scrape reports, gathered by the caller at the moment of the
// scrape. Nothing in it runs a program.
struct ExpositionInput {
  const MetricSnapshot* Snapshot = nullptr;
  const common::AgentConfig* Config = nullptr;
  // Seconds since the sampler last ended a pass; nothing before the first
  // pass has ended, and then no value of the snapshot is reported.
  std::optional<double> SnapshotAgeSeconds;
  // Whether the machine has a second processor (CpuBusy[1] is read).
  bool SecondProcessor = false;
  std::optional<size_t> QueueRecords;  // files in Tasks/Queue; nothing when unreadable
  std::optional<size_t> DoneRecords;   // files in Tasks/Done
  std::optional<platform::ProcessUsage> Process;  // the agent's own process
  std::string Version;
};

// The families of one scrape, in a fixed order. Families without a value
// (nothing measured yet, nothing configured) have no samples.
std::vector<MetricFamily> BuildMetricFamilies(const ExpositionInput& input);

// The exposition text: HELP and TYPE before each family's samples, no time
// stamps; families without samples are left out. OpenMetrics ends in "# EOF".
// Label values and help texts are single-byte text, written as UTF-8.
std::string RenderExposition(const std::vector<MetricFamily>& families, ExpositionFormat format);

}  // namespace agent
