#include "platform/MemoryStatus.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

constexpr std::string_view kLargeMachine =
    "MemTotal:       263872012 kB\n"
    "MemAvailable:   197904009 kB\n"
    "SwapTotal:       8388604 kB\n"
    "SwapFree:        8388604 kB\n"
    "CommitLimit:    140324608 kB\n"
    "Committed_AS:    6000000 kB\n";

TEST(ParseMemoryStatus, KeepsAmountsAboveFourGibibytesWhole) {
  const MemoryStatus status =
      ParseMemoryStatus(kLargeMachine, "0\n", "Name:\tx\nVmSize:\t  1048576 kB\n");
  EXPECT_EQ(status.TotalPhys, 263872012ull * 1024);
  EXPECT_EQ(status.AvailPhys, 197904009ull * 1024);
  EXPECT_EQ(status.MemoryLoad, 25u);
  // RAM + swap is the commit limit, as on Windows, unless the kernel enforces one.
  EXPECT_EQ(status.TotalPageFile, (263872012ull + 8388604) * 1024);
  EXPECT_EQ(status.AvailPageFile, (263872012ull + 8388604 - 6000000) * 1024);
  EXPECT_GT(status.TotalVirtual, uint64_t{1} << 40);
  EXPECT_EQ(status.TotalVirtual - status.AvailVirtual, 1048576ull * 1024);
}

TEST(ParseMemoryStatus, UsesTheKernelLimitInStrictOvercommitMode) {
  const MemoryStatus status = ParseMemoryStatus(kLargeMachine, "2\n", "");
  EXPECT_EQ(status.TotalPageFile, 140324608ull * 1024);
}

TEST(ParseMemoryStatus, NeverReportsNegativeFreeCommit) {
  const MemoryStatus status = ParseMemoryStatus(
      "MemTotal: 1000 kB\nMemAvailable: 10 kB\nSwapTotal: 0 kB\nCommitted_AS: 5000 kB\n", "", "");
  EXPECT_EQ(status.TotalPageFile, 1000u * 1024);
  EXPECT_EQ(status.AvailPageFile, 0u);
  EXPECT_EQ(status.MemoryLoad, 99u);
}

TEST(GlobalMemoryStatus, ReadsThisMachine) {
  const auto status = GlobalMemoryStatus();
  ASSERT_TRUE(status.has_value());
  EXPECT_GT(status->TotalPhys, 0u);
  EXPECT_LE(status->AvailPhys, status->TotalPhys);
  EXPECT_GE(status->TotalPageFile, status->TotalPhys);
  EXPECT_LT(status->AvailVirtual, status->TotalVirtual);
  EXPECT_FALSE(GlobalMemoryStatus("/nonexistent-root").has_value());
}

}  // namespace
}  // namespace platform
