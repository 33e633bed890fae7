#include "agent/MetricSampler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "agent/AgentHost.h"
#include "agent/CommandServer.h"
#include "agent/MetricSnapshot.h"
#include "agent/PipedShell.h"
#include "agent/TaskSweep.h"
#include "common/AgentConfig.h"
#include "common/PerfModule.h"
#include "common/ScaledSleep.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

using common::NumberText;
using common::ScaledSleep;
using common::WriteLog;

constexpr int32_t kPassCountLimit = 100000;
constexpr const char* kDriveLetters[] = {"C", "D", "E", "F", "G", "H", "I", "J"};

// A failed lookup: the pass ends with it.
class SamplerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Now() {
  return common::GeneralDateTextNow();
}

// A count as a 32-bit whole number, rounded ties to even.
int32_t CountOf(double value) {
  const double rounded = common::RoundHalfEven(value);
  if (rounded > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (rounded < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(rounded);
}

// Whether probe n (0-based) runs on this pass: COMMAND1 at passes 0, 8, 16 ...,
// COMMAND2 at 2, 10, 18 ..., COMMAND3 at 6, 14, 22 ...
bool ProbeDue(size_t n, int32_t pass_count) {
  static constexpr int32_t kOffsets[] = {0, 6, 2};
  return (pass_count + kOffsets[n]) % 8 == 0;
}

}  // namespace

SamplerParts AgentSamplerParts() {
  SamplerParts parts;
  parts.Serve = [](int listen_socket) { ServeClients(listen_socket); };
  parts.ReadMemoryStatus = [] { return platform::GlobalMemoryStatus(); };
  parts.ListDrives = [] { return platform::ListDrives(); };
  parts.CountMatchingLines = [](std::string_view command_line, std::string_view filter1,
                                std::string_view filter2) {
    return CountMatchingLines(command_line, filter1, filter2);
  };
  parts.CleanTaskFiles = [] { CleanTaskFiles(); };
  return parts;
}

MetricSampler::MetricSampler(SamplerParts parts)
    : parts_(std::move(parts)),
      reader_(parts_.Reader != nullptr ? *parts_.Reader : common::ThePerfReader()) {}

void MetricSampler::Serve(int listen_socket) {
  if (parts_.Serve) parts_.Serve(listen_socket);
}

double MetricSampler::Lookup(std::string_view object_index, std::string_view counter_name,
                             std::string_view instance_name) {
  const common::CounterValue result =
      reader_.GetCounterValue(object_index, counter_name, instance_name);
  if (result.Failed()) throw SamplerError(result.Error);
  return result.Value.value_or(0);
}

void MetricSampler::KeepProcessorReadings() {
  previous_time_ = reader_.PerfTimeBase();
  previous_idle_ = idle_;
}

void MetricSampler::PerformMonitoring(int listen_socket, const common::AgentConfig& config,
                                      MetricSnapshot& snapshot, bool& first_pass) {
  try {
    common::SleepMultiplier() =
        static_cast<int32_t>(common::RoundHalfEven(config.PeriodBase / 1000.0));
    ++pass_count_;
    if (pass_count_ > kPassCountLimit) pass_count_ = 0;

    if (first_pass) {
      WriteLog("Inicio " + Now(), 0);
      WriteLog("Carregando configuracao... " + Now(), 2);
      reader_.LoadCounterNames();
      WriteLog("Configuracoes carregadas. " + Now(), 2);
      reader_.GrowPerfBuffer(config.PerfKeyList);
    }
    LoadObjects(config);
    Serve(listen_socket);
    ReadProcessors(listen_socket, first_pass);
    ComputeProcessorBusy(snapshot, first_pass);
    ReadSystem(listen_socket, snapshot);
    ReadMemory(listen_socket, snapshot);
    step_label_ = " NetWork ";
    if (Even(first_pass) && config.NetMon) ReadNetwork(listen_socket, config, snapshot);
    step_label_ = " PerfMon ";
    if (Even(first_pass)) ReadChosenCounters(listen_socket, config, snapshot);
    step_label_ = " Disk ";
    if (pass_count_ % 10 == 0 || first_pass) ReadDisks(snapshot);
    step_label_ = " Command ";
    RunProbes(config, snapshot, first_pass);
    if (parts_.CleanTaskFiles) parts_.CleanTaskFiles();
    first_pass = false;
  } catch (const std::exception& error) {
    WriteLog(error.what() + std::string(" Perform Monitoring ") + step_label_, 1);
    first_pass = false;
    KeepProcessorReadings();
  }
  snapshot.PassEnded = std::chrono::steady_clock::now();
}

void MetricSampler::LoadObjects(const common::AgentConfig& config) {
  step_label_ = " LoadObjects ";
  WriteLog(" Carregando Chaves:", 2);
  if (reader_.LoadPerfObjects(config.PerfKeyList) > 0) {
    WriteLog("Nao carregou os objetos de processo" + Now(), 1);
  }
  WriteLog(" Chaves Carregadas:(" + config.PerfKeyList + ")", 2);
  ScaledSleep(20);
}

void MetricSampler::ReadProcessors(int listen_socket, bool first_pass) {
  step_label_ = " Processor ";
  idle_[0] = Lookup("238", "% Processor Time", "0");
  Serve(listen_socket);
  ScaledSleep(20);
  // On a one-processor machine the first pass finds no instance "1"; its idle
  // value stays 0 and it is never read again.
  if (idle_[1] != 0 || first_pass) idle_[1] = Lookup("238", "% Processor Time", "1");
}

void MetricSampler::ComputeProcessorBusy(MetricSnapshot& snapshot, bool first_pass) {
  step_label_ = " Processor A";
  const double t = reader_.PerfTimeBase();
  if (first_pass) previous_time_ = t;
  if (!first_pass && t != previous_time_) {
    const double tp = previous_time_;
    // Both the idle counter and the time base count 100 ns units.
    step_label_ += "1 => (" + NumberText(previous_idle_[0]) + "-" + NumberText(idle_[0]) + ") / (" +
                   NumberText(t) + "-" + NumberText(tp) + ") * 100))" + "_" + NumberText(t) + ":" +
                   NumberText(tp);
    double busy = 100 - std::fabs(previous_idle_[0] - idle_[0]) / (t - tp) * 100;
    // Idle time counted ahead of the clock (tick granularity, a clock that
    // moved) gives a reading outside 0..100: it is logged and reported at the
    // nearer bound, never as a negative percentage.
    if (busy > 100 || busy < 0) {
      WriteLog(" Perform Monitoring " + NumberText(busy) + "::>" + step_label_, 1);
      busy = std::clamp(busy, 0.0, 100.0);
    }
    snapshot.CpuBusy[0] = busy;
    if (idle_[1] != 0) {
      step_label_ += "2 => (" + NumberText(previous_idle_[1]) + "-" + NumberText(idle_[1]) +
                     ") / (" + NumberText(t) + "-" + NumberText(tp) + ") * 100))";
      const double busy1 = 100 - std::fabs(previous_idle_[1] - idle_[1]) / (t - tp) * 100;
      snapshot.CpuBusy[1] = std::clamp(busy1, 0.0, 100.0);
    }
  }
  KeepProcessorReadings();
}

void MetricSampler::ReadSystem(int listen_socket, MetricSnapshot& snapshot) {
  step_label_ = " System ";
  snapshot.ProcessCount = CountOf(Lookup("2", "Processes", ""));
  Serve(listen_socket);
  if (snapshot.ProcessCount == 0) snapshot.ProcessCount = CountOf(Lookup("260", "Processes", ""));
  Serve(listen_socket);
  ScaledSleep(20);
  snapshot.ThreadCount = CountOf(Lookup("2", "Threads", ""));
  Serve(listen_socket);
  if (snapshot.ThreadCount == 0) snapshot.ThreadCount = CountOf(Lookup("260", "Threads", ""));
}

void MetricSampler::ReadMemory(int listen_socket, MetricSnapshot& snapshot) {
  step_label_ = " Memory ";
  snapshot.RamAvailable = Lookup("4", "Available Bytes", "");
  Serve(listen_socket);
  // Every amount stays in 64 bits; a status that cannot be read leaves the
  // last values in place.
  const std::optional<platform::MemoryStatus> status =
      parts_.ReadMemoryStatus ? parts_.ReadMemoryStatus() : std::nullopt;
  if (!status) return;
  snapshot.RamTotal = static_cast<double>(status->TotalPhys);
  snapshot.VirtualFree = static_cast<double>(status->AvailVirtual);
  snapshot.VirtualTotal = static_cast<double>(status->TotalVirtual);
  snapshot.SwapFree = static_cast<double>(status->AvailPageFile);
  snapshot.SwapTotal = static_cast<double>(status->TotalPageFile);
}

void MetricSampler::ReadNetwork(int listen_socket, const common::AgentConfig& config,
                                MetricSnapshot& snapshot) {
  snapshot.NetIn[0] = Lookup("510", "Bytes Received", config.NetInterface[0]);
  Serve(listen_socket);
  snapshot.NetOut[0] = Lookup("510", "Bytes Sent", config.NetInterface[0]);
  Serve(listen_socket);
  WriteLog("Network: " + NumberText(snapshot.NetIn[0]) + "/" + NumberText(snapshot.NetOut[0]) +
               "---->" + config.NetInterface[0] + "<  " + std::to_string(listen_socket),
           4);
  // The further interfaces are read like the second one when configured.
  for (size_t n = 1; n < config.NetInterface.size(); ++n) {
    if (config.NetInterface[n].empty()) continue;
    snapshot.NetIn[n] = Lookup("510", "Bytes Received", config.NetInterface[n]);
    Serve(listen_socket);
    snapshot.NetOut[n] = Lookup("510", "Bytes Sent", config.NetInterface[n]);
    Serve(listen_socket);
  }
}

void MetricSampler::ReadChosenCounters(int listen_socket, const common::AgentConfig& config,
                                       MetricSnapshot& snapshot) {
  for (size_t n = 0; n < config.PerfMon.size(); ++n) {
    const common::PerfMonEntry& entry = config.PerfMon[n];
    if (entry.ObjectIndex.empty()) continue;
    step_label_ = " PerfMon " + std::to_string(n + 1);
    snapshot.PerfmonValue[n] = Lookup(entry.ObjectIndex, entry.CounterName, entry.InstanceName);
    Serve(listen_socket);
    if (n == 0) {
      WriteLog(entry.ObjectIndex + ":" + entry.CounterName + "|" + entry.InstanceName + "|" +
                   entry.Label,
               3);
    }
  }
  ScaledSleep(20);
}

void MetricSampler::ReadDisks(MetricSnapshot& snapshot) {
  if (!parts_.ListDrives) return;
  step_label_ = " Disk - pre each";
  // Drives that are absent or not ready keep their last values.
  for (const platform::DriveInfo& drive : parts_.ListDrives()) {
    for (size_t index = 0; index < std::size(kDriveLetters); ++index) {
      if (drive.DriveLetter != kDriveLetters[index] || !drive.IsReady) continue;
      snapshot.DiskFree[index] = static_cast<double>(drive.FreeSpace);
      snapshot.DiskTotal[index] = static_cast<double>(drive.TotalSize);
      snapshot.DiskMountPoint[index] = drive.VolumeName;
    }
  }
}

void MetricSampler::RunProbes(const common::AgentConfig& config, MetricSnapshot& snapshot,
                              bool first_pass) {
  if (!parts_.CountMatchingLines) return;
  // COMMAND4 has no result slot and is not run.
  for (size_t n = 0; n < snapshot.CommandResult.size(); ++n) {
    const common::CommandEntry& command = config.Command[n];
    if (command.Program.empty() || !(ProbeDue(n, pass_count_) || first_pass)) continue;
    snapshot.CommandResult[n] = parts_.CountMatchingLines(command.Program + command.Arguments,
                                                          command.MatchText1, command.MatchText2);
  }
}

MetricSampler& TheMetricSampler() {
  static MetricSampler sampler(AgentSamplerParts());
  return sampler;
}

void PerformMonitoring(int listen_socket) {
  TheMetricSampler().PerformMonitoring(listen_socket, common::TheAgentConfig(), TheMetricSnapshot(),
                                       TheHostState().FirstPass);
}

}  // namespace agent
