#pragma once
// A real Prometheus server (Debian's prometheus package) for tests and
// benchmarks: it listens on a free port of 127.0.0.1, keeps its storage in a
// temporary folder of its own, scrapes its targets every second, and is
// stopped by its process id when the object goes.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace testsupport {

// One sample of an instant vector: its labels (the metric name under
// "__name__") and its value.
struct PromSample {
  std::map<std::string, std::string> Labels;
  double Value = 0;
};

// One series of a range vector: its labels and its samples as (time in
// seconds since 1970, value), oldest first.
struct PromSeries {
  std::map<std::string, std::string> Labels;
  std::vector<std::pair<double, double>> Samples;
};

class PrometheusServer {
 public:
  // Starts the server scraping the targets ("127.0.0.1:PORT") as job "tarvo".
  // With file_discovery, the targets are written to a file that the job reads
  // through file-based service discovery, as a fleet's configuration does.
  explicit PrometheusServer(const std::vector<std::string>& targets, bool file_discovery = false,
                            std::chrono::milliseconds start_deadline = std::chrono::seconds(60));
  ~PrometheusServer();
  PrometheusServer(const PrometheusServer&) = delete;
  PrometheusServer& operator=(const PrometheusServer&) = delete;

  // With file_discovery: replaces the targets the job scrapes (the server
  // reads the file again within a second; an empty list stops the scrapes).
  void SetTargets(const std::vector<std::string>& targets);

  // Whether the server started and reported the port it listens on.
  bool Started() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // The server's log (its standard error), for failure messages.
  std::string Log() const;

  // The instant vector a PromQL expression gives now; nothing when the query
  // failed or its result is not a vector.
  std::optional<std::vector<PromSample>> Query(const std::string& expression) const;

  // The range vector a PromQL expression such as "up[1m]" gives now: every
  // sample stored in the range, with the time of its scrape. Nothing when the
  // query failed or its result is not a range vector.
  std::optional<std::vector<PromSeries>> QuerySeries(const std::string& expression) const;

  // Queries until the expression gives at least one sample, or the deadline
  // passes; returns the last result (empty when it never gave one).
  std::vector<PromSample> WaitForSamples(
      const std::string& expression,
      std::chrono::milliseconds deadline = std::chrono::seconds(60)) const;

  // Stops the server (SIGKILL, by its id) and waits for it to go.
  void Stop();

 private:
  TempFolder folder_;
  pid_t pid_ = 0;
  int port_ = 0;
};

// Lints an exposition in the text format with `promtool check metrics`: its
// exit status and what it printed (nothing when the text is clean).
ProgramResult PromtoolCheckMetrics(const std::string& text);

// Reads an exposition in the OpenMetrics format with Prometheus's own parser:
// promtool's OpenMetrics import into a scratch folder, each sample given a
// time stamp (the import wants one). Its exit status is 0 when the text parses.
ProgramResult PromtoolReadOpenMetrics(const std::string& text);

}  // namespace testsupport
