// The time the agent's thread spends on one scrape of the metrics endpoint,
// in process: the exposition of a real snapshot (after two sampling passes
// over this machine) in each format, and the whole answer to Prometheus's
// request (parse, exposition, gzip) as a MetricsSession yields it. The socket
// round trip comes on top; it is measured against the running agent once the
// endpoint serves from its loop.
//
//   metrics_bench [--scrapes 2000]

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "agent/AgentHost.h"
#include "agent/CommandServer.h"
#include "agent/MetricSampler.h"
#include "agent/MetricsContent.h"
#include "agent/MetricsSession.h"
#include "bench/BenchSupport.h"
#include "common/AgentConfig.h"

namespace {

constexpr const char* kPrometheusRequest =
    "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9464\r\nUser-Agent: Prometheus/2.42.0\r\n"
    "Accept: application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
    "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1\r\n"
    "Accept-Encoding: gzip\r\nX-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";
constexpr const char* kPlainRequest = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9464\r\n\r\n";

void Print(const char* what, const bench::Figures& figures, size_t bytes) {
  std::printf("%-46s median %7.3f  p99 %7.3f  max %7.3f ms  (%zu bytes)\n", what, figures.median,
              figures.p99, figures.max, bytes);
}

// One request answered by a fresh session, as the loop would run it.
size_t Answer(const char* request) {
  const auto now = agent::MetricsSession::Clock::now();
  agent::MetricsSession session(agent::AgentMetricsSite(), "127.0.0.1", true, now);
  session.Receive(request, now);
  const size_t size = session.Output().size();
  session.Sent(size, now);
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  int scrapes = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--scrapes") == 0) scrapes = std::atoi(argv[i + 1]);
  }
  char home[] = "/tmp/tarvo-metrics-bench-XXXXXX";
  if (mkdtemp(home) == nullptr) return 1;
  setenv("TARVO_HOME", home, 1);
  std::filesystem::create_directories(std::string(home) + "/Tasks/Queue");
  std::filesystem::create_directories(std::string(home) + "/Tasks/Done");

  common::AgentConfig& config = common::TheAgentConfig();
  config.ListenAddress = "127.0.0.1";
  config.PeriodBase = 0;
  config.NetMon = true;
  config.PerfKeyList = agent::kBasePerfKeyList;
  config.PerfMon[0] = {"238", "% Processor Time", "0", ""};
  config.Command[0] = {"ss ", " -t -n ", ":80", "ESTAB"};
  const int listen_socket = agent::OpenListener(0);
  agent::TheHostState().FirstPass = true;
  for (int pass = 0; pass < 2; ++pass) agent::PerformMonitoring(listen_socket);

  struct Case {
    const char* what;
    std::function<size_t()> once;
  };
  const Case cases[] = {
      {"exposition, text 0.0.4",
       [] { return agent::AgentMetricsSite().Exposition(agent::ExpositionFormat::kText).size(); }},
      {"exposition, OpenMetrics 1.0",
       [] {
         return agent::AgentMetricsSite().Exposition(agent::ExpositionFormat::kOpenMetrics).size();
       }},
      {"answer to Prometheus (OpenMetrics, gzip)", [] { return Answer(kPrometheusRequest); }},
      {"answer to a plain GET (text, no gzip)", [] { return Answer(kPlainRequest); }},
  };
  std::printf("metrics endpoint, in process, %d scrapes each\n", scrapes);
  for (const Case& c : cases) {
    bench::Series series;
    size_t bytes = 0;
    for (int i = 0; i < scrapes; ++i) {
      series.Time([&] {
        bytes = c.once();
        return bytes > 0;
      });
    }
    Print(c.what, series.Summary(), bytes);
  }

  if (listen_socket >= 0) close(listen_socket);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return 0;
}
