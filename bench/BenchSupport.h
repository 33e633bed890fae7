#pragma once
// Support shared by the benchmark programs: figures of a series of timings, a
// client for one request to the agent over loopback, the agent's figures from
// /proc, and the agent installed and run as a service of the embedded service
// manager in a temporary program folder of its own.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ServiceManager.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Milliseconds of wall time from start until now.
double MsSince(Clock::time_point start);

// Figures of a series of samples, in the samples' own unit. A quantile q is the
// sorted sample at index floor(q * count) (the median at count / 2).
struct Figures {
  size_t count = 0;
  double min = 0;
  double median = 0;
  double p90 = 0;
  double p99 = 0;
  double p999 = 0;
  double max = 0;
  double mean = 0;
};

// Sorts the samples and sums them up; every figure is if_empty when there are none.
Figures Summarise(std::vector<double> samples, double if_empty = 0);

// Wall times in milliseconds of repeated calls.
class Series {
 public:
  // Times one call and keeps its time. A call that returns false is kept as
  // well and marks the series failed. Returns what the call returned.
  bool Time(const std::function<bool()>& once);
  // Keeps a time measured by the caller.
  void Add(double ms) { samples_.push_back(ms); }
  bool Failed() const { return failed_; }
  Figures Summary(double if_empty = 0) const { return Summarise(samples_, if_empty); }

 private:
  std::vector<double> samples_;
  bool failed_ = false;
};

// A TCP port on 127.0.0.1 that was free at the time of the call (bound once
// and released again).
int FreeLoopbackPort();

// A new connection to 127.0.0.1:port with Nagle's delay off; -1 on failure.
int ConnectLoopback(int port);

// Sends all bytes; false when the connection fails first.
bool SendAll(int fd, std::string_view bytes);

// One request line on a new connection, followed by QUIT so that the agent
// replies and closes; reads until it closes (or 30 s pass without data).
// Returns the reply without its leading zero byte; nothing when the agent is
// not there or the reply does not start with the zero byte.
std::optional<std::string> RequestOnce(int port, const std::string& line);

// Whether reply (the bytes read so far) is a whole PING reply: the zero byte,
// then two date texts around " PONG " (the protocol has no length field).
bool PingReplyComplete(std::string_view reply);

// One PING on an open connection to the agent: the round trip in
// milliseconds, or nothing when no whole reply came within 30 s.
std::optional<double> PingRoundTrip(int fd);

// PING round trips on one kept connection to the agent on port, asked while
// more(asked so far) holds, with gap between them: their figures in ms, and
// each time appended to all when given. lost counts those that got no whole
// reply.
Figures KeptConnectionPings(int port, const std::function<bool(int asked)>& more,
                            std::chrono::milliseconds gap, int& lost,
                            std::vector<double>* all = nullptr);

// Prints one line of round-trip figures (ms): label, median, p99, p99.9, max,
// how many, how many lost.
void PrintRoundTrips(const char* label, const Figures& figures, int lost);

// The processor time (user and system) the process has used, in seconds;
// nothing when /proc/PID/stat cannot be read.
std::optional<double> ProcessCpuSeconds(int pid);

// A field of /proc/PID/status counted in KiB ("VmRSS", "VmHWM"); nothing when
// the process or the field is not there.
std::optional<long> ProcessStatusKiB(int pid, std::string_view field);

// The agent installed into a temporary program folder (/tmp/tarvo-bench-XXXXXX)
// as "Tarvo Agent Service" of an embedded service manager rooted in the folder's
// scm subfolder (TARVO_SCM_ROOT is set for this process and its children).
// Destroying it stops the service (killing the agent when it has not stopped
// within 30 s), deletes the service and removes the folder.
class AgentService {
 public:
  static constexpr const char* kName = "Tarvo Agent Service";

  // Copies agent_binary to FOLDER/AgentTarvoService, writes configuration to
  // FOLDER/TarvoAgent.cfg and creates the service. Installed() tells whether
  // that worked; after a failed CreateServiceA, GetLastError holds the cause.
  AgentService(const std::string& agent_binary, const std::string& configuration);
  ~AgentService();
  AgentService(const AgentService&) = delete;
  AgentService& operator=(const AgentService&) = delete;

  bool Installed() const { return service_ != nullptr; }
  // The temporary program folder (empty when it could not be made).
  const std::string& Folder() const { return folder_; }

  // Starts the service; false when the manager refuses (cause in GetLastError).
  bool Start();
  // Sends the stop control; false when the manager refuses.
  bool Stop();
  // The service's current state (SERVICE_RUNNING, ...); 0 when unreadable.
  // pid, when given, receives the service's process id.
  platform::DWORD State(platform::DWORD* pid = nullptr) const;
  // Polls the state every interval until it is reached. Returns the
  // milliseconds from since until then; nothing after 30 s.
  std::optional<double> WaitForState(platform::DWORD state, Clock::time_point since,
                                     Clock::duration interval) const;
  // Starts the service and waits until it reports running and then answers
  // PING on port (30 s each); false when a step fails.
  bool StartServing(int port);

 private:
  std::string folder_;
  platform::SC_HANDLE manager_ = nullptr;
  platform::SC_HANDLE service_ = nullptr;
};

}  // namespace bench
