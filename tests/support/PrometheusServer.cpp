#include "tests/support/PrometheusServer.h"

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/HttpClient.h"
#include "tests/support/Processes.h"

namespace testsupport {
namespace {

std::string TargetList(const std::vector<std::string>& targets) {
  std::string list = "[";
  for (size_t k = 0; k < targets.size(); ++k) list += (k ? ", '" : "'") + targets[k] + "'";
  return list + "]";
}

// The result items of an instant query of the given result type ("vector",
// "matrix"); nothing when the query failed or gave another type.
std::optional<nlohmann::json> QueryResult(int port, const std::string& expression,
                                          std::string_view type) {
  const auto answer = HttpGet(port, "/api/v1/query?query=" + UrlEncode(expression));
  if (!answer || answer->Status != 200) return std::nullopt;
  nlohmann::json reply = nlohmann::json::parse(answer->Body, nullptr, false);
  if (reply.is_discarded() || reply.value("status", "") != "success" ||
      reply["data"].value("resultType", "") != type) {
    return std::nullopt;
  }
  return std::move(reply["data"]["result"]);
}

std::map<std::string, std::string> LabelsOf(const nlohmann::json& item) {
  std::map<std::string, std::string> labels;
  for (const auto& [name, value] : item["metric"].items()) labels[name] = value.get<std::string>();
  return labels;
}

// A sample as [time, "text"]: the text keeps every digit of the value.
std::pair<double, double> SampleOf(const nlohmann::json& pair) {
  return {pair[0].get<double>(), std::stod(pair[1].get<std::string>())};
}

}  // namespace

PrometheusServer::PrometheusServer(const std::vector<std::string>& targets, bool file_discovery,
                                   std::chrono::milliseconds start_deadline) {
  std::string config =
      "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
      "scrape_configs:\n  - job_name: tarvo\n";
  if (file_discovery) {
    SetTargets(targets);
    config += "    file_sd_configs:\n      - files: ['" + folder_.Path("targets.yml") +
              "']\n        refresh_interval: 1s\n";
  } else {
    config += "    static_configs:\n      - targets: " + TargetList(targets) + "\n";
  }
  WriteAll(folder_.Path("prometheus.yml"), config);
  // Port 0: the system picks a free one, and the server's log names it.
  const std::string command = std::string("exec ") + TARVO_PROMETHEUS_BINARY +
                              " --config.file=" + folder_.Path("prometheus.yml") +
                              " --storage.tsdb.path=" + folder_.Path("data") +
                              " --web.listen-address=127.0.0.1:0 2>" + folder_.Path("log");
  pid_ = StartProgram({"/bin/sh", "-c", command}, {});
  if (pid_ <= 0) return;
  const std::regex listening(R"(msg="Listening on" address=127\.0\.0\.1:(\d+))");
  WaitUntil(
      [this, &listening] {
        std::smatch match;
        const std::string log = Log();
        if (std::regex_search(log, match, listening)) port_ = std::stoi(match[1]);
        return port_ > 0 || !ProcessAlive(pid_);
      },
      start_deadline);
}

PrometheusServer::~PrometheusServer() { Stop(); }

void PrometheusServer::SetTargets(const std::vector<std::string>& targets) {
  // Replaced whole, so that the server never reads half a list.
  WriteAll(folder_.Path("targets.new"), "- targets: " + TargetList(targets) + "\n");
  std::filesystem::rename(folder_.Path("targets.new"), folder_.Path("targets.yml"));
}

void PrometheusServer::Stop() {
  if (pid_ <= 0) return;
  KillProcess(pid_);
  // The server is this process's child: reap it, whether or not it has been.
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

std::string PrometheusServer::Log() const { return ReadAll(folder_.Path("log")); }

std::optional<std::vector<PromSample>> PrometheusServer::Query(
    const std::string& expression) const {
  if (!Started()) return std::nullopt;
  const auto result = QueryResult(port_, expression, "vector");
  if (!result) return std::nullopt;
  std::vector<PromSample> samples;
  for (const nlohmann::json& item : *result) {
    samples.push_back({LabelsOf(item), SampleOf(item["value"]).second});
  }
  return samples;
}

std::optional<std::vector<PromSeries>> PrometheusServer::QuerySeries(
    const std::string& expression) const {
  if (!Started()) return std::nullopt;
  const auto result = QueryResult(port_, expression, "matrix");
  if (!result) return std::nullopt;
  std::vector<PromSeries> series;
  for (const nlohmann::json& item : *result) {
    PromSeries one{LabelsOf(item), {}};
    for (const nlohmann::json& pair : item["values"]) one.Samples.push_back(SampleOf(pair));
    series.push_back(std::move(one));
  }
  return series;
}

std::vector<PromSample> PrometheusServer::WaitForSamples(const std::string& expression,
                                                         std::chrono::milliseconds deadline) const {
  std::vector<PromSample> last;
  WaitUntil(
      [&] {
        if (auto samples = Query(expression)) last = std::move(*samples);
        if (!last.empty()) return true;
        // One query a scrape interval is enough.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return false;
      },
      deadline);
  return last;
}

ProgramResult PromtoolCheckMetrics(const std::string& text) {
  const TempFolder scratch;
  WriteAll(scratch.Path("exposition.txt"), text);
  return RunProgram({"/bin/sh", "-c",
                     std::string(TARVO_PROMTOOL) + " check metrics < '" +
                         scratch.Path("exposition.txt") + "'"});
}

ProgramResult PromtoolReadOpenMetrics(const std::string& text) {
  const TempFolder scratch;
  std::string stamped;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    stamped += line + (line.starts_with("#") ? "\n" : " 1700000000\n");
  }
  WriteAll(scratch.Path("open.txt"), stamped);
  return RunProgram({TARVO_PROMTOOL, "tsdb", "create-blocks-from", "openmetrics",
                     scratch.Path("open.txt"), scratch.Path("blocks")});
}

}  // namespace testsupport
