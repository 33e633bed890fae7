#include "agent/RRDTool.h"

#include <errno.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <vector>

#include "agent/MetricSnapshot.h"
#include "agent/RRDLauncher.h"
#include "agent/RRDTemplate.h"
#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/ChildProcess.h"
#include "platform/CommandLine.h"
#include "platform/FileAccess.h"
#include "platform/ProcessWatch.h"

namespace agent {
namespace {

constexpr const char* kFeedLabel = " FeedRRDTool Func ";
constexpr const char* kCreateLabel = " CreateRRDTool Func ";
constexpr const char* kUpdateLabel = " UpdateRRDToolDBs Func ";
constexpr const char* kGraphsLabel = " MakeRRDToolGraphs Func ";
constexpr const char* kMissingPiece = "Subscript out of range";

constexpr const char* kDatabaseNames[] = {"CPU", "MEM", "DSKC", "DSKD", "DSKE", "NET"};

// How long a feed waits for its creations before it starts the updates anyway.
// A creation takes milliseconds; the limit only guards against a stuck rrdtool.
constexpr auto kCreationWait = std::chrono::seconds(5);

std::string RrdFolder() {
  return common::ProgramPath(kRrdFolderName);
}

// Starts a command line in the RRDTOOL folder, split by the Windows rules and
// without a shell, so relative names in it ("CPU.rrd") resolve there while the
// agent's own current folder stays as it is. Logs a failure under the label.
std::optional<int> StartInRrdFolder(const std::string& command_line, const char* label) {
  const std::vector<std::string> args = platform::SplitCommandLine(command_line);
  std::optional<int> pid = platform::SpawnDetached(args, RrdFolder());
  if (!pid) {
    common::LogFailure("Cannot start " + (args.empty() ? command_line : args[0]), label);
  }
  return pid;
}

// The process starts of one feed, on the launcher's thread: the missing
// databases, then (once those creations have ended, or a few seconds at most)
// the updates with the values read at the feed, then the graph script.
void StartFeedProcesses(const RrdValues& values) {
  try {
    const std::string folder = RrdFolder();
    std::vector<int> creations;
    for (const char* name : kDatabaseNames) {
      if (platform::IsRegularFile(folder + "/" + name + ".rrd")) continue;
      if (const std::optional<int> pid = CreateRRDTool(name)) creations.push_back(*pid);
    }
    // An update of a database that is not there yet is rejected by rrdtool and
    // its sample lost.
    if (!creations.empty()) platform::WaitForProcessesToEnd(creations, kCreationWait);
    UpdateRRDToolDBs(values.Cpu, values.Mem, values.Dskc, values.Dskd, values.Dske,
                     values.NetReceived, values.NetSent);
    MakeRRDToolGraphs();
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kFeedLabel);
  }
}

}  // namespace

bool RrdFeedIsDue(const common::AgentConfig& config, std::time_t last_feed, std::time_t now) {
  return common::RrdToolIsOn(config) && now - last_feed > kRrdFeedPeriodSeconds;
}

std::optional<std::string> UpdateCommand(std::string_view name, std::string command,
                                         int64_t unix_time, const RrdValues& values) {
  double value = 0;
  if (name == "CPU") {
    value = values.Cpu;
  } else if (name == "MEM") {
    value = values.Mem;
  } else if (name == "DSKC") {
    value = values.Dskc;
  } else if (name == "DSKD") {
    value = values.Dskd;
  } else if (name == "DSKE") {
    value = values.Dske;
  } else if (name != "NET") {
    return std::nullopt;
  }
  command = common::ReplaceAll(std::move(command), "$TIME", std::to_string(unix_time));
  if (name == "NET") {
    command = common::ReplaceAll(std::move(command), "$VAL1", RrdNumberText(values.NetReceived));
    return common::ReplaceAll(std::move(command), "$VAL2", RrdNumberText(values.NetSent));
  }
  return common::ReplaceAll(std::move(command), "$VAL", RrdNumberText(value));
}

void FeedRRDTool() {
  try {
    const std::string folder = RrdFolder();
    if (!platform::IsFolder(folder) && mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      common::LogFailure(std::string(std::strerror(errno)) + ": " + folder, kFeedLabel);
      return;
    }
    VerifyRRDToolTemplate();
    const MetricSnapshot& snapshot = TheMetricSnapshot();
    const RrdValues values{snapshot.CpuBusy[0],
                           snapshot.RamAvailable,
                           snapshot.DiskTotal[0] - snapshot.DiskFree[0],
                           snapshot.DiskTotal[1] - snapshot.DiskFree[1],
                           snapshot.DiskTotal[2] - snapshot.DiskFree[2],
                           snapshot.NetIn[0],
                           snapshot.NetOut[0]};
    TheRrdLauncher().Post([values] { StartFeedProcesses(values); });
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kFeedLabel);
  }
}

std::optional<int> CreateRRDTool(std::string_view name) {
  try {
    const std::string command = GetTemplateCommand("CREATE", name);
    if (command.empty()) return std::nullopt;
    // One second before the feed's updates: rrdtool accepts only updates later
    // than the database's start.
    return StartInRrdFolder(common::ReplaceAll(command, "$TIME", std::to_string(GetUnixTime() - 1)),
                            kCreateLabel);
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kCreateLabel);
    return std::nullopt;
  }
}

void UpdateRRDToolDBs(double cpu, double mem, double dskc, double dskd, double dske,
                      double net_received, double net_sent) {
  try {
    const std::optional<std::string> text = ReadTemplateFile();
    if (!text) return;
    const RrdValues values{cpu, mem, dskc, dskd, dske, net_received, net_sent};
    // One time stamp for the whole pass: every database gets the same second.
    const int64_t now = GetUnixTime();
    for (const std::vector<std::string>& pieces : TemplateRecords(*text)) {
      if (pieces.empty()) {
        common::LogFailure(kMissingPiece, kUpdateLabel);
        return;
      }
      if (common::ToUpper(pieces[0]) != "UPDATE") continue;
      if (pieces.size() < 3) {
        common::LogFailure(kMissingPiece, kUpdateLabel);
        return;
      }
      const std::optional<std::string> command =
          UpdateCommand(common::ToUpper(pieces[1]), pieces[2], now, values);
      if (!command) continue;
      if (!StartInRrdFolder(*command, kUpdateLabel)) return;
      common::WriteLog("rrdtool: " + *command + " -" + common::GeneralDateTextNow(), 2);
    }
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kUpdateLabel);
  }
}

void MakeRRDToolGraphs() {
  try {
    const std::string script = common::ProgramPath(kRrdGraphScriptPath);
    if (!platform::IsRegularFile(script)) return;
    if (!platform::SpawnDetached({"/bin/sh", script}, RrdFolder())) {
      common::LogFailure("Cannot start /bin/sh " + script, kGraphsLabel);
    }
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kGraphsLabel);
  }
}

}  // namespace agent
