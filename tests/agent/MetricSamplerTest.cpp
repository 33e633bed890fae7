#include "agent/MetricSampler.h"

#include <gtest/gtest.h>

#include <map>

#include "agent/MetricSnapshot.h"
#include "common/PerfModule.h"
#include "common/ScaledSleep.h"
#include "common/TextUtil.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/FakePerfRegistry.h"

namespace agent {
namespace {

using platform::PERF_100NSEC_TIMER_INV;
using platform::PERF_COUNTER_BULK_COUNT;
using platform::PERF_COUNTER_LARGE_RAWCOUNT;
using platform::PERF_COUNTER_RAWCOUNT;
using testsupport::MakeBlock;
using testsupport::MakeObject;

// The readings one data block carries.
struct Machine {
  int64_t Time = 133000000000000000;
  std::vector<uint64_t> Idle = {1000000, 5000000};  // per processor
  uint64_t Processes = 61;
  uint64_t Threads = 612;
  uint64_t ObjectsProcesses = 57;
  uint64_t Available = 6ull << 30;
  std::map<std::string, std::pair<uint64_t, uint64_t>> Interfaces = {
      {"eth0", {1000, 2000}}, {"eth1", {3000, 4000}}, {"lo", {5000, 6000}}};
  bool BrokenMemory = false;  // a Memory counter without a catalogue name
};

std::vector<uint8_t> BlockOf(const Machine& machine) {
  std::vector<platform::PerfInstanceData> processors;
  uint64_t total = 0;
  for (size_t i = 0; i < machine.Idle.size(); ++i) {
    processors.push_back({std::to_string(i), {machine.Idle[i]}});
    total += machine.Idle[i];
  }
  processors.push_back({"_Total", {total / machine.Idle.size()}});
  std::vector<platform::PerfInstanceData> interfaces;
  for (const auto& [name, bytes] : machine.Interfaces) {
    interfaces.push_back({name, {bytes.first, bytes.second}});
  }
  std::vector<platform::PerfCounterDef> memory = {{24, PERF_COUNTER_LARGE_RAWCOUNT}};
  if (machine.BrokenMemory) memory.insert(memory.begin(), {9996, PERF_COUNTER_RAWCOUNT});
  return MakeBlock(
      {MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}, {250, PERF_COUNTER_RAWCOUNT}},
                  {{"", {machine.Processes, machine.Threads}}}, false),
       MakeObject(4, memory,
                  {{"", machine.BrokenMemory ? std::vector<uint64_t>{1, machine.Available}
                                             : std::vector<uint64_t>{machine.Available}}},
                  false),
       MakeObject(238, {{6, PERF_100NSEC_TIMER_INV}}, processors),
       MakeObject(260, {{248, PERF_COUNTER_RAWCOUNT}, {250, PERF_COUNTER_RAWCOUNT}},
                  {{"", {machine.ObjectsProcesses, 7}}}, false),
       MakeObject(510, {{264, PERF_COUNTER_BULK_COUNT}, {506, PERF_COUNTER_BULK_COUNT}},
                  interfaces)},
      machine.Time);
}

class MetricSamplerTest : public AgentHomeTest {
 protected:
  MetricSamplerTest() {
    config_.PerfKeyList = "2 4 236 238 260 510";
    config_.NetMon = true;
    config_.PerfMon[0] = {"238", "% Processor Time", "_Total", "CPU"};
    config_.Command[0] = {"probe1 ", " -a", "X", ""};
    config_.Command[1] = {"probe2", "", "", ""};
    config_.Command[2] = {"probe3", "", "", ""};
    drives_ = {Drive("C", 100, 1000), Drive("D", 200, 2000)};
    registry_.Block = BlockOf(machine_);
  }

  static platform::DriveInfo Drive(const std::string& letter, uint64_t free, uint64_t total) {
    platform::DriveInfo drive;
    drive.DriveLetter = letter;
    drive.Path = letter + ":";
    drive.IsReady = true;
    drive.FreeSpace = free;
    drive.TotalSize = total;
    drive.VolumeName = "/mnt/" + letter;
    return drive;
  }

  SamplerParts Parts() {
    SamplerParts parts;
    parts.Reader = &reader_;
    parts.Serve = [this](int socket) {
      ++serves_;
      last_socket_ = socket;
    };
    parts.ReadMemoryStatus = [this] { return memory_; };
    parts.ListDrives = [this] {
      disk_passes_.push_back(sampler_.PassCount());
      return drives_;
    };
    parts.CountMatchingLines = [this](std::string_view line, std::string_view filter1,
                                      std::string_view filter2) {
      probes_[std::string(line)].push_back(sampler_.PassCount());
      last_filters_ = std::string(filter1) + "|" + std::string(filter2);
      return 3;
    };
    parts.CleanTaskFiles = [this] { ++cleans_; };
    return parts;
  }

  // One pass over the machine as it is now.
  void Pass() {
    registry_.Block = BlockOf(machine_);
    sampler_.PerformMonitoring(42, config_, snapshot_, first_pass_);
  }

  testsupport::FakePerfRegistry registry_;
  common::PerfReader reader_{&registry_};
  Machine machine_;
  common::AgentConfig config_;
  MetricSnapshot snapshot_;
  bool first_pass_ = true;
  std::optional<platform::MemoryStatus> memory_ = platform::MemoryStatus{
      25, 64ull << 30, 48ull << 30, 72ull << 30, 60ull << 30, 1ull << 47, (1ull << 47) - (1 << 20)};
  std::vector<platform::DriveInfo> drives_;
  int serves_ = 0;
  int last_socket_ = 0;
  int cleans_ = 0;
  std::vector<int32_t> disk_passes_;
  std::map<std::string, std::vector<int32_t>> probes_;
  std::string last_filters_;
  MetricSampler sampler_{Parts()};
};

TEST_F(MetricSamplerTest, FirstPassLoadsEverythingButComputesNoPercentage) {
  Pass();
  EXPECT_FALSE(first_pass_);
  EXPECT_EQ(sampler_.PassCount(), 1);
  EXPECT_EQ(snapshot_.CpuBusy, (std::array<double, 2>{0, 0}));
  EXPECT_EQ(snapshot_.ProcessCount, 61);
  EXPECT_EQ(snapshot_.ThreadCount, 612);
  EXPECT_EQ(snapshot_.RamAvailable, 6.0 * (1ull << 30));
  EXPECT_EQ(snapshot_.RamTotal, 64.0 * (1ull << 30));
  EXPECT_EQ(snapshot_.SwapTotal, 72.0 * (1ull << 30));
  EXPECT_EQ(snapshot_.SwapFree, 60.0 * (1ull << 30));
  EXPECT_EQ(snapshot_.VirtualTotal - snapshot_.VirtualFree, 1 << 20);
  // An empty NETINTERFACE1 takes the first interface of the block.
  EXPECT_EQ(snapshot_.NetIn[0], 1000);
  EXPECT_EQ(snapshot_.NetOut[0], 2000);
  EXPECT_EQ(snapshot_.PerfmonValue[0], 3000000);
  EXPECT_EQ(snapshot_.DiskFree[1], 200);
  EXPECT_EQ(snapshot_.DiskTotal[1], 2000);
  EXPECT_EQ(snapshot_.DiskMountPoint[1], "/mnt/D");
  EXPECT_EQ(disk_passes_, (std::vector<int32_t>{1}));
  EXPECT_EQ(probes_["probe1  -a"], (std::vector<int32_t>{1}));
  EXPECT_EQ(last_filters_, "|");
  EXPECT_EQ(snapshot_.CommandResult[0], 3);
  EXPECT_EQ(cleans_, 1);
  EXPECT_GT(serves_, 5);
  EXPECT_EQ(last_socket_, 42);
  const std::string log = Log();
  EXPECT_EQ(log.find("Inicio "), 0u);
  EXPECT_NE(log.find("Carregando configuracao... "), std::string::npos);
  EXPECT_NE(log.find(" Chaves Carregadas:(2 4 236 238 260 510)\r\n"), std::string::npos);
}

TEST_F(MetricSamplerTest, LaterPassesRunTheSlowerStepsOnTheirSchedules) {
  std::vector<int32_t> network_passes;
  for (int pass = 1; pass <= 24; ++pass) {
    machine_.Interfaces["eth0"].first = 1000 + pass;
    Pass();
    if (snapshot_.NetIn[0] == 1000 + pass) network_passes.push_back(pass);
  }
  EXPECT_EQ(probes_["probe1  -a"], (std::vector<int32_t>{1, 8, 16, 24}));
  EXPECT_EQ(probes_["probe2"], (std::vector<int32_t>{1, 2, 10, 18}));
  EXPECT_EQ(probes_["probe3"], (std::vector<int32_t>{1, 6, 14, 22}));
  EXPECT_EQ(disk_passes_, (std::vector<int32_t>{1, 10, 20}));
  EXPECT_EQ(network_passes, (std::vector<int32_t>{1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24}));
  EXPECT_EQ(cleans_, 24);
}

TEST_F(MetricSamplerTest, PassCountWrapsToZeroAfter100000) {
  common::TheAgentConfig().LogLevel = 0;
  for (int pass = 1; pass <= 100000; ++pass) Pass();
  EXPECT_EQ(sampler_.PassCount(), 100000);
  probes_.clear();
  disk_passes_.clear();
  Pass();
  EXPECT_EQ(sampler_.PassCount(), 0);
  // Pass 0 is even, a multiple of 10 and of 8.
  EXPECT_EQ(disk_passes_, (std::vector<int32_t>{0}));
  EXPECT_EQ(probes_["probe1  -a"], (std::vector<int32_t>{0}));
}

TEST_F(MetricSamplerTest, ProcessorBusyComesFromIdleTimeOverTheTimeBase) {
  machine_.Idle = {1000000, 1000000};
  Pass();
  machine_.Time += 2000000;
  machine_.Idle = {1500000, 1000000};
  Pass();
  EXPECT_EQ(snapshot_.CpuBusy[0], 75);
  EXPECT_EQ(snapshot_.CpuBusy[1], 100);

  // The same time base again: nothing is computed.
  machine_.Idle = {1600000, 1500000};
  Pass();
  EXPECT_EQ(snapshot_.CpuBusy[0], 75);
  EXPECT_EQ(snapshot_.CpuBusy[1], 100);
}

TEST_F(MetricSamplerTest, ProcessorBusyBelowZeroIsLoggedAndClampedToZero) {
  machine_.Idle = {1000000, 1000000};
  Pass();
  machine_.Time += 400000;
  machine_.Idle = {1500000, 1700000};
  Pass();
  EXPECT_EQ(snapshot_.CpuBusy[0], 0);
  EXPECT_EQ(snapshot_.CpuBusy[1], 0);
  const std::string t = common::NumberText(static_cast<double>(machine_.Time));
  const std::string tp = common::NumberText(static_cast<double>(machine_.Time - 400000));
  EXPECT_NE(Log().find(" Perform Monitoring -25::> Processor A1 => (1000000-1500000) / (" + t +
                       "-" + tp + ") * 100))_" + t + ":" + tp + "\r\n"),
            std::string::npos)
      << Log();
}

TEST_F(MetricSamplerTest, OneProcessorMachineNeverReadsProcessorOneAgain) {
  machine_.Idle = {1000000};
  Pass();
  machine_.Time += 1000000;
  machine_.Idle = {1500000};
  Pass();
  EXPECT_EQ(snapshot_.CpuBusy[0], 50);
  EXPECT_EQ(snapshot_.CpuBusy[1], 0);
}

TEST_F(MetricSamplerTest, CountsOfZeroAreReadAgainFromTheObjectsObject) {
  machine_.Processes = 0;
  machine_.Threads = 0;
  Pass();
  EXPECT_EQ(snapshot_.ProcessCount, 57);
  EXPECT_EQ(snapshot_.ThreadCount, 7);
}

TEST_F(MetricSamplerTest, ConfiguredInterfacesAreReadAllFourAndNetMonOffFreezesThem) {
  config_.NetInterface = {"eth1", "", "lo", ""};
  Pass();
  EXPECT_EQ(snapshot_.NetIn[0], 3000);
  EXPECT_EQ(snapshot_.NetOut[0], 4000);
  EXPECT_EQ(snapshot_.NetIn[1], 0);
  EXPECT_EQ(snapshot_.NetIn[2], 5000);
  EXPECT_EQ(snapshot_.NetOut[2], 6000);

  config_.NetMon = false;
  machine_.Interfaces["eth1"] = {9, 9};
  Pass();
  Pass();
  EXPECT_EQ(snapshot_.NetIn[0], 3000);
}

TEST_F(MetricSamplerTest, EmptyChosenCounterAndUnreadyDriveKeepTheirValues) {
  snapshot_.PerfmonValue[1] = 17;
  Pass();
  EXPECT_EQ(snapshot_.PerfmonValue[1], 17);
  drives_[1].IsReady = false;
  drives_[1].FreeSpace = 1;
  for (int pass = 2; pass <= 10; ++pass) Pass();
  EXPECT_EQ(disk_passes_.back(), 10);
  EXPECT_EQ(snapshot_.DiskFree[1], 200);
  EXPECT_EQ(snapshot_.DiskTotal[1], 2000);
}

TEST_F(MetricSamplerTest, AFailedLookupEndsThePassAndIsLoggedWithItsStep) {
  machine_.BrokenMemory = true;
  Pass();
  EXPECT_FALSE(first_pass_);
  // The pass ended, if early: the snapshot's age counts from here.
  EXPECT_TRUE(snapshot_.PassEnded);
  EXPECT_EQ(snapshot_.ProcessCount, 61);  // written before the failure
  EXPECT_EQ(snapshot_.NetIn[0], 0);       // never reached
  EXPECT_EQ(cleans_, 0);
  EXPECT_NE(Log().find("no catalogue name for counter index 9996 Perform Monitoring  Memory \r\n"),
            std::string::npos)
      << Log();
}

TEST_F(MetricSamplerTest, PauseUnitFollowsPeriodBaseRoundedTiesToEven) {
  const std::pair<int32_t, int32_t> cases[] = {{500, 0}, {2500, 2}};
  first_pass_ = false;
  for (const auto& [period, multiplier] : cases) {
    config_.PeriodBase = period;
    // A pass that fails at once still sets the multiplier first.
    registry_.Block = {};
    sampler_.PerformMonitoring(42, config_, snapshot_, first_pass_);
    EXPECT_EQ(common::SleepMultiplier(), multiplier) << period;
  }
  common::SleepMultiplier() = 0;
}

}  // namespace
}  // namespace agent
