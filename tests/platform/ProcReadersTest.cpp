#include "platform/linux/ProcReaders.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/support/TempFolder.h"

namespace platform {
namespace {

// A 4-processor machine whose processor 2 is offline.
constexpr std::string_view kProcStat =
    "cpu  4705 356 584 3699 23 23 0 0 0 0\n"
    "cpu0 1393280 32966 572056 13343292 6130 0 17875 0 0 0\n"
    "cpu1 1335 2 2 36 0 0 0 0 0 0\n"
    "cpu3 1 2 3 4 5 6 7 8 0 0\n"
    "intr 114930548 113199788 3 0 5 263 0 4 [... 253 more numbers]\n"
    "ctxt 1990473\n"
    "btime 1062191376\n"
    "processes 2915\n"
    "procs_running 7\n"
    "procs_blocked 0\n"
    "softirq 183433 0 21755 12 39 0 0 0 0 0 161627\n";

TEST(ParseProcStat, ReadsEveryOnlineProcessorWithItsOwnNumber) {
  const ProcStat stat = ParseProcStat(kProcStat);
  ASSERT_EQ(stat.Cpus.size(), 3u);
  EXPECT_EQ(stat.Cpus[0].Number, 0);
  EXPECT_EQ(stat.Cpus[0].Idle, 13343292u);
  EXPECT_EQ(stat.Cpus[0].SoftIrq, 17875u);
  EXPECT_EQ(stat.Cpus[2].Number, 3);
  EXPECT_EQ(stat.Cpus[2].User, 1u);
  EXPECT_EQ(stat.Cpus[2].IoWait, 5u);
  EXPECT_EQ(stat.Cpus[2].Steal, 8u);
  EXPECT_EQ(stat.ContextSwitches, 1990473u);
  EXPECT_EQ(stat.Interrupts, 114930548u);
  EXPECT_EQ(stat.ProcsRunning, 7u);
  EXPECT_EQ(stat.BootTime, 1062191376);
}

TEST(ParseProcStat, ReadsOldKernelsWithFewerTimeFields) {
  const ProcStat stat = ParseProcStat("cpu0 10 20 30 40\nctxt 5\n");
  ASSERT_EQ(stat.Cpus.size(), 1u);
  EXPECT_EQ(stat.Cpus[0].Idle, 40u);
  EXPECT_EQ(stat.Cpus[0].IoWait, 0u);
  EXPECT_EQ(stat.ContextSwitches, 5u);
}

TEST(ParseMemInfo, ConvertsKibibytesToBytesWithoutWrapping) {
  const MemInfo info = ParseMemInfo(
      "MemTotal:       263872012 kB\n"
      "MemFree:         1000 kB\n"
      "MemAvailable:   200000000 kB\n"
      "SwapTotal:       8388604 kB\n"
      "SwapFree:        8388604 kB\n"
      "CommitLimit:    140324608 kB\n"
      "Committed_AS:    6000000 kB\n");
  EXPECT_EQ(info.MemTotal, 263872012ull * 1024);
  EXPECT_EQ(info.MemAvailable, 200000000ull * 1024);
  EXPECT_EQ(info.SwapTotal, 8388604ull * 1024);
  EXPECT_EQ(info.CommitLimit, 140324608ull * 1024);
  EXPECT_EQ(info.CommittedAs, 6000000ull * 1024);
}

TEST(ParseMemInfo, EstimatesAvailableMemoryOnKernelsWithoutIt) {
  const MemInfo info =
      ParseMemInfo("MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 20 kB\nCached: 300 kB\n");
  EXPECT_EQ(info.MemAvailable, 420u * 1024);
}

TEST(ParseNetDev, ReadsInterfacesWhateverTheSpacing) {
  const std::vector<NetDevice> devices = ParseNetDev(
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
      "drop fifo colls carrier compressed\n"
      "    lo:    3267      29    0    0    0     0          0         0     3267      29    0    "
      "0    0     0       0          0\n"
      "eth0:19495575421 591 1 2 0 0 0 7 26217 309 3 4 0 0 0 0\n"
      "  broken: 1 2 3\n"
      "enp0s31f6.100: 5 6 0 0 0 0 0 0 7 8 0 0 0 0 0 0\n");
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].Name, "lo");
  EXPECT_EQ(devices[1].Name, "eth0");
  EXPECT_EQ(devices[1].RxBytes, 19495575421u);
  EXPECT_EQ(devices[1].RxErrors, 1u);
  EXPECT_EQ(devices[1].RxDropped, 2u);
  EXPECT_EQ(devices[1].TxBytes, 26217u);
  EXPECT_EQ(devices[1].TxPackets, 309u);
  EXPECT_EQ(devices[1].TxErrors, 3u);
  EXPECT_EQ(devices[1].TxDropped, 4u);
  EXPECT_EQ(devices[2].Name, "enp0s31f6.100");
  EXPECT_EQ(devices[2].TxPackets, 8u);
}

TEST(ParseInterruptsPerCpu, SumsEachProcessorColumnAndSkipsSystemWideLines) {
  const auto totals = ParseInterruptsPerCpu(
      "           CPU0       CPU1       CPU3\n"
      "  0:         44          0          1   IO-APIC   2-edge      timer\n"
      "  8:          0          1          2   IO-APIC   8-edge      rtc0\n"
      "NMI:          5          6          7   Non-maskable interrupts\n"
      "ERR:          9\n"
      "MIS:          0\n");
  ASSERT_EQ(totals.size(), 3u);
  EXPECT_EQ(totals.at(0), 49u);
  EXPECT_EQ(totals.at(1), 7u);
  EXPECT_EQ(totals.at(3), 10u);
}

TEST(ParseProcessStat, TakesTheCommandUpToTheLastParenthesis) {
  const auto stat = ParseProcessStat(
      "4242 (my (odd) prog) S 1 4242 4242 0 -1 4194560 1200 0 3 0 250 75 0 0 20 0 6 0 "
      "123456 2147483648000 5000 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n");
  ASSERT_TRUE(stat.has_value());
  EXPECT_EQ(stat->Pid, 4242);
  EXPECT_EQ(stat->Command, "my (odd) prog");
  EXPECT_EQ(stat->ParentPid, 1);
  EXPECT_EQ(stat->MinorFaults, 1200u);
  EXPECT_EQ(stat->MajorFaults, 3u);
  EXPECT_EQ(stat->UserTicks, 250u);
  EXPECT_EQ(stat->SystemTicks, 75u);
  EXPECT_EQ(stat->Threads, 6);
  EXPECT_EQ(stat->StartTicks, 123456u);
  EXPECT_EQ(stat->VirtualBytes, 2147483648000u);
}

TEST(ParseProcessStat, RejectsTruncatedText) {
  EXPECT_FALSE(ParseProcessStat("12 (sh) S 1 2 3").has_value());
  EXPECT_FALSE(ParseProcessStat("garbage").has_value());
}

TEST(SmallProcParsers, ReadTheirFields) {
  EXPECT_EQ(ParseLoadAvg("0.00 0.01 0.00 1/115 4421\n")->Total, 115u);
  EXPECT_FALSE(ParseLoadAvg("0.00 0.01 0.00\n").has_value());
  EXPECT_DOUBLE_EQ(*ParseUptime("350735.47 234388.90\n"), 350735.47);
  EXPECT_EQ(ParseKeyedNumber("pgfree 5\npgfault 123456789012\npgmajfault 7\n", "pgfault"),
            123456789012u);
  const auto statm = ParseStatm("2545 1193 955 211 0 364 0\n");
  ASSERT_TRUE(statm.has_value());
  EXPECT_EQ(statm->ResidentPages, 1193u);
  EXPECT_EQ(statm->DataPages, 364u);
}

TEST(ProcReaders, ReadThisMachine) {
  const auto stat = ReadProcText("/", "proc/stat");
  ASSERT_TRUE(stat.has_value());
  EXPECT_EQ(ParseProcStat(*stat).Cpus.size(), static_cast<size_t>(sysconf(_SC_NPROCESSORS_ONLN)));
  const std::vector<int> pids = ListProcessIds("/");
  EXPECT_NE(std::find(pids.begin(), pids.end(), getpid()), pids.end());
  const auto own = ReadProcText("/", "proc/self/stat");
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(ParseProcessStat(*own)->Pid, getpid());
}

TEST(ProcReaders, ReadBelowAnotherRoot) {
  testsupport::TempFolder root;
  EXPECT_FALSE(ReadProcText(root.path(), "proc/stat").has_value());
  EXPECT_FALSE(InInitialPidNamespace(root.path()));
  EXPECT_FALSE(ReadLinkSpeed(root.path(), "eth0").has_value());
}

}  // namespace
}  // namespace platform
