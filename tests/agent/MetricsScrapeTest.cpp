// A real Prometheus server scraping the agent's metrics site through real
// sockets, driven by MetricsSession as the agent's loop drives it: the target
// is up, the format is negotiated, and what Prometheus stores equals what
// RESUMEMON answers from the same snapshot.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "agent/MetricsContent.h"
#include "agent/MonitoringReplies.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/agent/MetricsTestServer.h"
#include "tests/support/HttpClient.h"
#include "tests/support/PrometheusServer.h"

namespace agent {
namespace {

using testsupport::PrometheusServer;
using testsupport::PromSample;

class MetricsScrapeTest : public AgentHomeTest {
 protected:
  MetricsScrapeTest() {
    std::filesystem::create_directories(home_.Path("Tasks/Done"));
    testsupport::WriteAll(home_.Path("Tasks/Done/1234-hello.sh"), "");
    // A sampling pass's values.
    MetricSnapshot& s = TheMetricSnapshot();
    s = MetricSnapshot{};
    s.CpuBusy = {12.5, 0};
    s.ProcessCount = 187;
    s.ThreadCount = 911;
    s.RamAvailable = 3221225472;
    s.RamTotal = 8589934592;
    s.PerfmonValue[0] = 123456789;
    s.DiskFree[0] = 1e9;
    s.DiskTotal[0] = 4e9;
    s.DiskMountPoint[0] = "/";
    s.PassEnded = std::chrono::steady_clock::now();
    common::TheAgentConfig().PerfMon[0] = {"238", "% Processor Time", "0", ""};

    // The site as the agent serves it, noting the format of each scrape.
    site_ = AgentMetricsSite();
    site_.Exposition = [this](ExpositionFormat format) {
      if (format == ExpositionFormat::kOpenMetrics) ++open_metrics_scrapes_;
      return AgentMetricsSite().Exposition(format);
    };
  }
  ~MetricsScrapeTest() override { TheMetricSnapshot() = MetricSnapshot{}; }

  static double ResumeMonValue(const std::string& name) {
    const std::string record = "\r\n" + ResumeMonReply("RESUMEMON").text();
    const size_t at = record.find("\r\n" + name + "=") + name.size() + 3;
    return std::stod(record.substr(at, record.find("\r\n", at) - at));
  }

  MetricsSite site_;
  std::atomic<int> open_metrics_scrapes_{0};
};

TEST_F(MetricsScrapeTest, PrometheusStoresWhatResumeMonAnswers) {
  MetricsTestServer endpoint(site_);
  ASSERT_GT(endpoint.port(), 0);
  const std::string target = "127.0.0.1:" + std::to_string(endpoint.port());
  // The target comes through file-based discovery, as a fleet's does.
  PrometheusServer prometheus({target}, /*file_discovery=*/true);
  ASSERT_TRUE(prometheus.Started()) << prometheus.Log();

  const std::vector<PromSample> up = prometheus.WaitForSamples("up{job=\"tarvo\"} == 1");
  ASSERT_EQ(up.size(), 1u) << prometheus.Log();
  EXPECT_EQ(up[0].Labels.at("instance"), target);

  const auto value_of = [&prometheus](const std::string& expression) {
    const std::vector<PromSample> samples = prometheus.WaitForSamples(expression);
    EXPECT_EQ(samples.size(), 1u) << expression;
    return samples.empty() ? -1.0 : samples[0].Value;
  };
  EXPECT_EQ(value_of("tarvo_processes"), ResumeMonValue("PROCS"));
  EXPECT_EQ(value_of("tarvo_memory_ram_available_bytes"), ResumeMonValue("MEMORYRAM"));
  EXPECT_EQ(value_of("tarvo_perfmon_value{slot=\"1\",object=\"238\"}"), ResumeMonValue("PERFMON1"));
  EXPECT_EQ(value_of("tarvo_disk_free_bytes{drive=\"C\",mountpoint=\"/\"}"),
            ResumeMonValue("DISK1"));
  EXPECT_EQ(value_of("tarvo_task_records{folder=\"Done\"}"), 1);
  EXPECT_GT(value_of("process_resident_memory_bytes"), 0);
  // Prometheus asked for OpenMetrics.
  EXPECT_GT(open_metrics_scrapes_, 0);

  // A person's browser gets the text format and the page from the same endpoint.
  const auto text = testsupport::HttpGet(endpoint.port(), "/metrics");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Headers.at("content-type"), kTextContentType);
  EXPECT_NE(text->Body.find("\ntarvo_processes 187\n"), std::string::npos);
  const auto page = testsupport::HttpGet(endpoint.port(), "/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->Body.find("<a href=\"/metrics\">/metrics</a>"), std::string::npos);
}

}  // namespace
}  // namespace agent
