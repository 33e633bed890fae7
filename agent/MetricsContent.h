#pragma once
// What the agent's metrics endpoint serves, read from the agent's own state at
// each request: the exposition of the current MetricSnapshot, the page for a
// person with a browser and the RRD feed's graph images.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/MetricsExposition.h"
#include "agent/MetricsSession.h"

namespace agent {

// The most bytes of a graph image the endpoint serves; a larger file is not
// one the RRD feed drew.
inline constexpr size_t kMaxGraphBytes = 4 * 1024 * 1024;

// The exposition input of this moment: the agent's snapshot and configuration,
// the first network interface's name from the performance data, the task
// record counts, the agent's own process figures and its version.
ExpositionInput AgentExpositionInput(std::chrono::steady_clock::time_point now);

// The page of "/": the host, the version, a link to /metrics and, when the RRD
// feed is on, the graph images present (graph_files: names of kRrdGraphFiles,
// in that order). Texts are single-byte, written as UTF-8.
std::string MetricsPageText(std::string_view host, std::string_view version, bool rrd_on,
                            const std::vector<std::string_view>& graph_files);

// A graph image of the RRDTOOL folder by its name, when the name is one of
// kRrdGraphFiles, the RRD feed is on and the file is a regular file of at most
// kMaxGraphBytes; nothing otherwise.
std::optional<std::string> AgentGraphImage(std::string_view name);

// The agent's site: the three functions above over the agent's state.
const MetricsSite& AgentMetricsSite();

}  // namespace agent
