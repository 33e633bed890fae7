#include "agent/MetricsExposition.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "agent/MetricsContent.h"
#include "agent/MonitoringReplies.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/PrometheusServer.h"

namespace agent {
namespace {

using testsupport::ProgramResult;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A snapshot after some passes, with a configuration that fills every slot
// kind: two interfaces, two chosen counters, two probes, drives C and E.
class MetricsExpositionTest : public AgentHomeTest {
 protected:
  MetricsExpositionTest() {
    MetricSnapshot& s = TheMetricSnapshot();
    s = MetricSnapshot{};
    s.CpuBusy = {37.5, 100};
    s.ProcessCount = 231;
    s.ThreadCount = 1502;
    s.RamAvailable = 6442450944;
    s.RamTotal = 17179869184;
    s.SwapFree = 2147483648;
    s.SwapTotal = 4294967296;
    s.VirtualFree = 140737488355328.0 - 1048576;
    s.VirtualTotal = 140737488355328.0;
    s.NetIn = {123456789012, 55, 0, 0};
    s.NetOut = {987654321, 66, 0, 0};
    s.PerfmonValue = {3000000, 0.25, 0, 0};
    s.DiskFree[0] = 50e9;
    s.DiskTotal[0] = 100e9;
    s.DiskMountPoint[0] = "/";
    s.DiskFree[2] = 1;
    s.DiskTotal[2] = 2;
    s.DiskMountPoint[2] = "/srv/da\\ta";
    s.CommandResult = {std::optional<int64_t>(4), std::nullopt, std::optional<int64_t>(1)};
    s.PassEnded = std::chrono::steady_clock::now();

    common::AgentConfig& c = common::TheAgentConfig();
    c.NetMon = true;
    c.NetInterface = {"", "", "lo", ""};
    c.PerfMon[0] = {"238", "% Processor Time", "0", "cpu"};
    c.PerfMon[3] = {"2", "Say \"hi\"\nnow", "caf\xe9", ""};
    c.Command[0] = {"ss ", " -t -n ", ":80", "ESTAB"};
    c.Command[2] = {"true", "", "", ""};
    c.AllowRemoteExec = true;
  }
  ~MetricsExpositionTest() override { TheMetricSnapshot() = MetricSnapshot{}; }

  static ExpositionInput Input() {
    ExpositionInput input;
    input.Snapshot = &TheMetricSnapshot();
    input.Config = &common::TheAgentConfig();
    input.SnapshotAgeSeconds = 1.5;
    input.SecondProcessor = true;
    input.QueueRecords = 2;
    input.DoneRecords = 40;
    platform::ProcessUsage usage;
    usage.CpuSeconds = 12.25;
    usage.ResidentBytes = 4096000;
    usage.VirtualBytes = 8192000;
    usage.StartTime = 1700000000.5;
    usage.OpenDescriptors = 9;
    input.Process = usage;
    input.Version = "1.2.3";
    return input;
  }

  static std::string Text(const ExpositionInput& input) {
    return RenderExposition(BuildMetricFamilies(input), ExpositionFormat::kText);
  }
};

TEST_F(MetricsExpositionTest, ReportsEverySnapshotValueWithItsLabelsInBaseUnits) {
  const std::string text = Text(Input());
  for (const char* line : {
           "tarvo_cpu_busy_ratio{processor=\"0\"} 0.375\n",
           "tarvo_cpu_busy_ratio{processor=\"1\"} 1\n",
           "tarvo_processes 231\n",
           "tarvo_threads 1502\n",
           "tarvo_memory_ram_available_bytes 6442450944\n",
           "tarvo_memory_ram_total_bytes 17179869184\n",
           "tarvo_memory_swap_free_bytes 2147483648\n",
           "tarvo_memory_virtual_free_bytes 140737487306752\n",
           "tarvo_network_receive_bytes_total{slot=\"1\",interface=\"\"} 123456789012\n",
           "tarvo_network_transmit_bytes_total{slot=\"3\",interface=\"lo\"} 0\n",
           "tarvo_perfmon_value{slot=\"1\",object=\"238\",counter=\"% Processor Time\","
           "instance=\"0\"} 3000000\n",
           // Escapes, and a single-byte text written as UTF-8.
           "tarvo_perfmon_value{slot=\"4\",object=\"2\",counter=\"Say \\\"hi\\\"\\nnow\","
           "instance=\"caf\xc3\xa9\"} 0\n",
           "tarvo_disk_free_bytes{drive=\"C\",mountpoint=\"/\"} 50000000000\n",
           "tarvo_disk_size_bytes{drive=\"E\",mountpoint=\"/srv/da\\\\ta\"} 2\n",
           "tarvo_probe_result{slot=\"1\",command=\"ss  -t -n\"} 4\n",
           "tarvo_probe_result{slot=\"3\",command=\"true\"} 1\n",
           "tarvo_build_info{version=\"1.2.3\"} 1\n",
           "tarvo_snapshot_age_seconds 1.5\n",
           "tarvo_task_records{folder=\"Queue\"} 2\n",
           "tarvo_task_records{folder=\"Done\"} 40\n",
           "tarvo_remote_exec_allowed 1\n",
           "process_cpu_seconds_total 12.25\n",
           "process_start_time_seconds 1700000000.5\n",
           "process_open_fds 9\n",
       }) {
    EXPECT_TRUE(Has(text, line)) << line << "\nin\n" << text;
  }
  // Slots that read nothing are not reported: interfaces 2 and 4 name none,
  // chosen counters 2 and 3 are empty, drive D was never read, probe 2 never ran.
  for (const char* absent : {"slot=\"2\",interface", "slot=\"4\",interface", "slot=\"2\",object",
                             "drive=\"D\"", "slot=\"2\",command", "process_max_fds "}) {
    EXPECT_FALSE(Has(text, absent)) << absent;
  }
  EXPECT_FALSE(Has(text, "# EOF"));
}

TEST_F(MetricsExpositionTest, ReportsNoSnapshotValueBeforeTheFirstPassEnds) {
  ExpositionInput input = Input();
  input.SnapshotAgeSeconds.reset();
  input.Process.reset();
  const std::string text = Text(input);
  EXPECT_FALSE(Has(text, "tarvo_processes"));
  EXPECT_FALSE(Has(text, "tarvo_cpu_busy_ratio"));
  EXPECT_FALSE(Has(text, "tarvo_snapshot_age_seconds"));
  EXPECT_FALSE(Has(text, "process_"));
  EXPECT_TRUE(Has(text, "tarvo_build_info{version=\"1.2.3\"} 1\n"));
  EXPECT_TRUE(Has(text, "tarvo_task_records{folder=\"Done\"} 40\n"));

  common::TheAgentConfig().NetMon = false;
  EXPECT_FALSE(Has(Text(Input()), "tarvo_network_"));
}

// RESUMEMON and a scrape read the same snapshot: they agree on every value
// they both report.
TEST_F(MetricsExpositionTest, AgreesWithResumeMonOnTheSameSnapshot) {
  const std::string record = ResumeMonReply("RESUMEMON").text();
  const std::string text = Text(Input());
  const auto record_value = [&record](const std::string& name) {
    const size_t at = record.find("\r\n" + name + "=");
    EXPECT_NE(at, std::string::npos) << name;
    const size_t start = at + name.size() + 3;
    return std::stod(record.substr(start, record.find("\r\n", start) - start));
  };
  const auto sample_value = [&text](const std::string& sample) {
    const size_t at = text.find("\n" + sample + " ");
    EXPECT_NE(at, std::string::npos) << sample;
    const size_t start = at + sample.size() + 2;
    return std::stod(text.substr(start, text.find('\n', start) - start));
  };
  EXPECT_EQ(sample_value("tarvo_processes"), record_value("PROCS"));
  EXPECT_EQ(sample_value("tarvo_threads"), record_value("THREADS"));
  EXPECT_EQ(sample_value("tarvo_memory_ram_available_bytes"), record_value("MEMORYRAM"));
  EXPECT_EQ(sample_value("tarvo_memory_swap_free_bytes"), record_value("MEMORYSWAP"));
  EXPECT_EQ(sample_value("tarvo_disk_free_bytes{drive=\"C\",mountpoint=\"/\"}"),
            record_value("DISK1"));
  EXPECT_EQ(sample_value("tarvo_perfmon_value{slot=\"1\",object=\"238\","
                         "counter=\"% Processor Time\",instance=\"0\"}"),
            record_value("PERFMON1"));
  EXPECT_EQ(sample_value("tarvo_network_receive_bytes_total{slot=\"1\",interface=\"\"}"),
            record_value("NETIN1"));
  EXPECT_EQ(sample_value("tarvo_probe_result{slot=\"1\",command=\"ss  -t -n\"}"),
            record_value("CMD1"));
}

TEST_F(MetricsExpositionTest, WritesOpenMetricsWithCounterFamiliesWithoutTheirSuffix) {
  const std::vector<MetricFamily> families = BuildMetricFamilies(Input());
  const std::string text = RenderExposition(families, ExpositionFormat::kText);
  const std::string open = RenderExposition(families, ExpositionFormat::kOpenMetrics);
  EXPECT_TRUE(Has(text, "# TYPE tarvo_network_receive_bytes_total counter\n"));
  EXPECT_TRUE(Has(open, "# TYPE tarvo_network_receive_bytes counter\n"));
  EXPECT_TRUE(Has(text, "# TYPE tarvo_perfmon_value untyped\n"));
  EXPECT_TRUE(Has(open, "# TYPE tarvo_perfmon_value unknown\n"));
  // The help text escapes quotes in OpenMetrics only.
  MetricFamily quoted{"tarvo_x", "say \"a\\b\"\nend", MetricType::kGauge, {{{}, -0.0}}};
  EXPECT_EQ(RenderExposition({quoted}, ExpositionFormat::kText),
            "# HELP tarvo_x say \"a\\\\b\"\\nend\n# TYPE tarvo_x gauge\ntarvo_x 0\n");
  EXPECT_EQ(RenderExposition({quoted}, ExpositionFormat::kOpenMetrics),
            "# HELP tarvo_x say \\\"a\\\\b\\\"\\nend\n# TYPE tarvo_x gauge\ntarvo_x 0\n# EOF\n");
  ASSERT_GE(open.size(), 6u);
  EXPECT_EQ(open.substr(open.size() - 6), "# EOF\n");

  // Every family of either format has its HELP and TYPE before its samples,
  // and no sample carries a time stamp (a name, optional labels, one value).
  const std::regex sample(R"(^([a-z_]+)(\{[^}]*\})? [-+0-9.eE]+(Inf)?$)");
  for (const std::string* exposition : {&text, &open}) {
    std::istringstream lines(*exposition);
    std::set<std::string> typed;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("# TYPE ")) typed.insert(line.substr(7, line.find(' ', 7) - 7));
      if (line.starts_with("#")) continue;
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, sample)) << line;
      std::string family = match[1];
      if (exposition == &open && family.ends_with("_total")) family.resize(family.size() - 6);
      EXPECT_EQ(typed.count(family), 1u) << line;
    }
  }
}

// The real promtool lints the text format; Prometheus's own OpenMetrics parser
// (promtool's OpenMetrics import, which wants a time stamp on each sample)
// reads the other format.
TEST_F(MetricsExpositionTest, PromtoolAcceptsBothFormatsOfALiveScrape) {
  std::filesystem::create_directories(home_.Path("Tasks/Queue"));
  testsupport::WriteAll(home_.Path("Tasks/Queue/x"), "");
  const ExpositionInput input = AgentExpositionInput(std::chrono::steady_clock::now());
  ASSERT_TRUE(input.Process);
  const std::vector<MetricFamily> families = BuildMetricFamilies(input);

  const std::string text = RenderExposition(families, ExpositionFormat::kText);
  EXPECT_TRUE(Has(text, "tarvo_task_records{folder=\"Queue\"} 1\n")) << text;
  EXPECT_TRUE(Has(text, "process_resident_memory_bytes "));
  const ProgramResult lint = testsupport::PromtoolCheckMetrics(text);
  EXPECT_EQ(lint.exit_code, 0) << lint.output << text;
  EXPECT_EQ(lint.output, "");

  const std::string open_metrics = RenderExposition(families, ExpositionFormat::kOpenMetrics);
  const ProgramResult import = testsupport::PromtoolReadOpenMetrics(open_metrics);
  EXPECT_EQ(import.exit_code, 0) << import.output << open_metrics;
}

}  // namespace
}  // namespace agent
