#include "agent/MetricsContent.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <thread>

#include "agent/AgentHost.h"
#include "agent/MetricSnapshot.h"
#include "agent/RRDTemplate.h"
#include "agent/TaskFile.h"
#include "common/AgentConfig.h"
#include "common/ProgramFolder.h"
#include "common/TarvoVersion.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"
#include "platform/SystemInfo.h"

namespace agent {
namespace {

// A folder's count of task records and the modification time it was taken at.
struct RecordCount {
  timespec Modified{};
  size_t Count = 0;
};

// The number of task records in a folder. Done keeps every record ever run, so
// listing it at each scrape would cost the thread more with every task; the
// count is kept while the folder's modification time (changed by every record
// added or removed) stays the same. A time less than a second old is not
// trusted: a record added within the same tick of the file system's clock
// would leave it unchanged.
std::optional<size_t> CountRecords(std::string_view folder) {
  static std::map<std::string, RecordCount, std::less<>> counts;
  const std::string path = common::ProgramPath(folder);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  const auto kept = counts.find(path);
  if (kept != counts.end() && kept->second.Modified.tv_sec == info.st_mtim.tv_sec &&
      kept->second.Modified.tv_nsec == info.st_mtim.tv_nsec) {
    return kept->second.Count;
  }
  std::vector<std::string> names;
  if (ListFolderFiles(path, names) != 0) return std::nullopt;
  if (info.st_mtim.tv_sec + 1 < std::time(nullptr)) {
    counts[path] = RecordCount{info.st_mtim, names.size()};
  } else if (kept != counts.end()) {
    counts.erase(kept);
  }
  return names.size();
}

// Single-byte text as HTML text in UTF-8.
std::string HtmlText(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: common::AppendAsUtf8(out, c);
    }
  }
  return out;
}

std::string GraphPath(std::string_view name) {
  return common::ProgramPath(std::string(kRrdFolderName) + "/" + std::string(name));
}

std::string HostName() {
  const std::string& name = TheHostState().ComputerName;
  return name.empty() ? platform::ComputerName() : name;
}

}  // namespace

ExpositionInput AgentExpositionInput(std::chrono::steady_clock::time_point now) {
  ExpositionInput input;
  input.Snapshot = &TheMetricSnapshot();
  input.Config = &common::TheAgentConfig();
  if (const auto& ended = input.Snapshot->PassEnded) {
    input.SnapshotAgeSeconds = std::chrono::duration<double>(now - *ended).count();
  }
  // The sampler reads processor "1" only where there is one.
  input.SecondProcessor = std::thread::hardware_concurrency() > 1;
  input.QueueRecords = CountRecords(kQueueFolder);
  input.DoneRecords = CountRecords(kDoneFolder);
  input.Process = platform::ReadOwnProcessUsage();
  input.Version = common::kVersionText;
  return input;
}

std::string MetricsPageText(std::string_view host, std::string_view version, bool rrd_on,
                            const std::vector<std::string_view>& graph_files) {
  const std::string name = HtmlText(host);
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Tarvo Agent - " + name + "</title>\n"
      "<style>body{font-family:sans-serif;margin:2em;color:#222}"
      "figure{display:inline-block;vertical-align:top;margin:1em 2em 1em 0}"
      "figcaption{color:#555}</style>\n</head>\n<body>\n"
      "<h1>Tarvo Agent on " + name + "</h1>\n"
      "<p>Version " + HtmlText(version) + ". Metrics for Prometheus: "
      "<a href=\"/metrics\">/metrics</a></p>\n";
  if (!rrd_on) {
    page += "<p>The RRD feed is off (RRDTOOL in TarvoAgent.cfg), so there are no graphs.</p>\n";
  } else if (graph_files.empty()) {
    page += "<p>No graphs yet: the RRD feed draws them every five minutes.</p>\n";
  } else {
    page += "<h2>The last six hours</h2>\n";
    for (const std::string_view file : graph_files) {
      const std::string text = HtmlText(file);
      const std::string title = HtmlText(file.substr(0, file.find('-')));
      page += "<figure><img src=\"/graphs/" + text + "\" alt=\"" + title + " graph\">"
              "<figcaption>" + title + "</figcaption></figure>\n";
    }
  }
  page += "</body>\n</html>\n";
  return page;
}

std::optional<std::string> AgentGraphImage(std::string_view name) {
  if (!common::RrdToolIsOn(common::TheAgentConfig())) return std::nullopt;
  if (std::find(kRrdGraphFiles.begin(), kRrdGraphFiles.end(), name) == kRrdGraphFiles.end()) {
    return std::nullopt;
  }
  // Regular files only, opened without waiting, and no larger than a graph.
  return platform::ReadFileText(GraphPath(name), kMaxGraphBytes);
}

const MetricsSite& AgentMetricsSite() {
  static const MetricsSite site{
      [](ExpositionFormat format) {
        return RenderExposition(
            BuildMetricFamilies(AgentExpositionInput(std::chrono::steady_clock::now())), format);
      },
      [] {
        const bool rrd_on = common::RrdToolIsOn(common::TheAgentConfig());
        std::vector<std::string_view> present;
        for (const std::string_view file : kRrdGraphFiles) {
          if (rrd_on && platform::IsRegularFile(GraphPath(file))) present.push_back(file);
        }
        return MetricsPageText(HostName(), common::kVersionText, rrd_on, present);
      },
      AgentGraphImage};
  return site;
}

}  // namespace agent
