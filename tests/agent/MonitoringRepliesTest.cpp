#include "agent/MonitoringReplies.h"

#include <gtest/gtest.h>

#include "agent/MetricSnapshot.h"

namespace agent {
namespace {

// Each test starts from a snapshot as before the first pass and leaves it so.
class MonitoringRepliesTest : public ::testing::Test {
 protected:
  void SetUp() override { TheMetricSnapshot() = MetricSnapshot{}; }
  void TearDown() override { TheMetricSnapshot() = MetricSnapshot{}; }

  static MetricSnapshot& Snapshot() { return TheMetricSnapshot(); }
  static std::string Text(HandlerResult result) {
    EXPECT_EQ(result.kind(), HandlerResult::Kind::kReply);
    return result.text();
  }
  static bool NoReply(HandlerResult result) {
    return result.kind() == HandlerResult::Kind::kNoReply;
  }
};

TEST_F(MonitoringRepliesTest, ResumeMonBeforeTheFirstPassHasZerosAndEmptyCommands) {
  EXPECT_EQ(Text(ResumeMonReply("RESUMEMON")),
            "CPU1=0\r\nCPU2=0\r\n"
            "PERFMON1=0\r\nPERFMON2=0\r\nPERFMON3=0\r\nPERFMON4=0\r\n"
            "DISK1=0\r\nDISK2=0\r\nDISK3=0\r\nDISK4=0\r\nDISK5=0\r\nDISK6=0\r\nDISK7=0\r\n"
            "DISK8=0\r\n"
            "NETIN1=0\r\nNETOUT1=0\r\nNETIN2=0\r\nNETOUT2=0\r\nNETIN3=0\r\nNETOUT3=0\r\n"
            "NETIN4=0\r\nNETOUT4=0\r\n"
            "MEMORYRAM=0\r\nMEMORYSWAP=0\r\nMEMORYVIRTUAL=0\r\n"
            "PROCS=0\r\nTHREADS=0\r\n"
            "CMD1=\r\nCMD2=\r\nCMD3=\r\n");
}

TEST_F(MonitoringRepliesTest, ResumeMonReportsFreeAmountsAndUnroundedNetworkCounters) {
  Snapshot().CpuBusy = {37.5, 62.5};
  Snapshot().PerfmonValue[2] = 0.25;
  Snapshot().DiskFree[0] = 85761343488;
  Snapshot().DiskTotal[0] = 270553174016;
  Snapshot().NetIn[0] = 19495575421.0;
  Snapshot().NetOut[3] = 12.5;
  Snapshot().RamAvailable = 25010421760;  // above 2^32: never wrapped
  Snapshot().SwapFree = 5e9;
  Snapshot().VirtualFree = 140737485205504;
  Snapshot().ProcessCount = 75;
  Snapshot().ThreadCount = 116;
  Snapshot().CommandResult = {1, 0, std::nullopt};
  const std::string text = Text(ResumeMonReply("RESUMEMON"));
  EXPECT_NE(text.find("CPU1=38\r\nCPU2=62\r\n"), std::string::npos);
  EXPECT_NE(text.find("PERFMON3=0.25\r\n"), std::string::npos);
  EXPECT_NE(text.find("DISK1=85761343488\r\n"), std::string::npos);
  EXPECT_NE(text.find("NETIN1=19495575421\r\n"), std::string::npos);
  EXPECT_NE(text.find("NETOUT4=12.5\r\n"), std::string::npos);
  EXPECT_NE(text.find("MEMORYRAM=25010421760\r\nMEMORYSWAP=5000000000\r\n"
                      "MEMORYVIRTUAL=140737485205504\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("PROCS=75\r\nTHREADS=116\r\nCMD1=1\r\nCMD2=0\r\nCMD3=\r\n"),
            std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 30);
}

TEST_F(MonitoringRepliesTest, ProcessorSelectorsTakeProcessorOneOnAnyDigitOne) {
  Snapshot().CpuBusy = {10.4, 37.5};
  EXPECT_EQ(Text(CpuReply("CPU")), "10");
  EXPECT_EQ(Text(CpuReply("CPU 0")), "10");
  EXPECT_EQ(Text(CpuReply("CPU 2")), "10");
  EXPECT_EQ(Text(CpuReply("CPU 1")), "38");
  EXPECT_EQ(Text(CpuReply("CPU 10")), "38");
  // 100 - 37.5 is 62.5; the tie goes to the even neighbour.
  EXPECT_EQ(Text(FcpuReply("FCPU 1")), "62");
  EXPECT_EQ(Text(FcpuReply("FCPU")), "90");
}

TEST_F(MonitoringRepliesTest, DigitSelectorsPickTheirDocumentedWinner) {
  Snapshot().NetIn = {1.5, 2, 3, 4};
  Snapshot().NetOut = {5, 6, 7, 8.5};
  Snapshot().DiskFree = {10, 20, 30, 40, 50, 60, 70, 80};
  Snapshot().DiskTotal = {100, 200, 300, 400, 500, 600, 700, 800};
  Snapshot().CommandResult = {1, 2, 3};
  EXPECT_EQ(Text(NetInReply("NETIN 12")), "2");  // smallest digit: interface 1, 1.5 rounds to 2
  EXPECT_EQ(Text(NetOutReply("NETOUT 4")), "8");
  EXPECT_EQ(Text(DiskReply("DISK 12")), "180");  // largest digit: drive D:, used space
  EXPECT_EQ(Text(DiskReply("DISK 1")), "90");
  EXPECT_EQ(Text(FdiskReply("FDISK 8")), "80");
  EXPECT_EQ(Text(CmdReply("CMD 13")), "3");
  EXPECT_TRUE(NoReply(NetInReply("NETIN")));
  EXPECT_TRUE(NoReply(DiskReply("DISK 9")));
  EXPECT_TRUE(NoReply(CmdReply("CMD")));
}

TEST_F(MonitoringRepliesTest, MemoryRepliesAreNeverNegative) {
  Snapshot().RamTotal = 64.0 * (1ull << 30);
  Snapshot().RamAvailable = 48.0 * (1ull << 30);
  Snapshot().SwapTotal = 8e9;
  Snapshot().SwapFree = 3e9;
  Snapshot().VirtualTotal = 100;
  Snapshot().VirtualFree = 150;  // a reading taken between two samples
  EXPECT_EQ(Text(MemoryReply("MEMORY RAM")), "17179869184");
  EXPECT_EQ(Text(MemoryReply("MEMORY RAM SWAP")), "5000000000");  // SWAP is tested after RAM
  EXPECT_EQ(Text(MemoryReply("MEMORY VIRTUAL")), "0");
  EXPECT_EQ(Text(FmemoryReply("FMEMORY RAM")), "51539607552");
  EXPECT_EQ(Text(FmemoryReply("FMEMORY SWAP")), "3000000000");
  EXPECT_TRUE(NoReply(MemoryReply("MEMORY")));
}

TEST_F(MonitoringRepliesTest, CountsAndChosenCountersAreWrittenPlainly) {
  Snapshot().ProcessCount = 75;
  Snapshot().ThreadCount = 116;
  Snapshot().PerfmonValue = {1e20, 0.5, 1099511627781, 0};
  EXPECT_EQ(Text(ProcsReply("PROCS")), "75");
  EXPECT_EQ(Text(ThreadsReply("THREADS")), "116");
  EXPECT_EQ(Text(PerfmonReply(1, "PERFMON2")), "0.5");
  EXPECT_EQ(Text(PerfmonReply(2, "PERFMON3")), "1099511627781");
  EXPECT_EQ(Text(PerfmonReply(3, "PERFMON4")), "0");
}

}  // namespace
}  // namespace agent
