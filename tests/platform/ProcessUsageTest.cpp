#include "platform/ProcessUsage.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <gtest/gtest.h>

namespace platform {
namespace {

// A captured /proc/<pid>/stat line whose command holds blanks and a ')'.
constexpr const char* kStat =
    "4242 (Agent) x) S 1 4242 4242 0 -1 4194560 900 0 3 0 250 50 0 0 20 0 1 0 12345 "
    "23068672 1200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0";
constexpr const char* kStatm = "5632 1200 300 10 0 400 0";

TEST(ParseProcessUsageTest, ConvertsTicksAndPagesToSecondsAndBytes) {
  const auto usage = ParseProcessUsage(kStat, kStatm, 1700000000, 100, 4096);
  ASSERT_TRUE(usage);
  EXPECT_DOUBLE_EQ(usage->CpuSeconds, 3.0);  // 250 + 50 ticks at 100 a second
  EXPECT_EQ(usage->ResidentBytes, 1200u * 4096u);
  EXPECT_EQ(usage->VirtualBytes, 23068672u);
  EXPECT_DOUBLE_EQ(usage->StartTime, 1700000000 + 123.45);
  EXPECT_FALSE(usage->OpenDescriptors);

  EXPECT_FALSE(ParseProcessUsage("4242 (x) S 1", kStatm, 0, 100, 4096));
  EXPECT_FALSE(ParseProcessUsage(kStat, "", 0, 100, 4096));
  EXPECT_FALSE(ParseProcessUsage(kStat, kStatm, 0, 0, 4096));
}

TEST(ReadOwnProcessUsageTest, CountsTheDescriptorsThisProcessOpens) {
  const auto before = ReadOwnProcessUsage();
  ASSERT_TRUE(before && before->OpenDescriptors);
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const auto during = ReadOwnProcessUsage();
  close(fd);
  ASSERT_TRUE(during && during->OpenDescriptors);
  EXPECT_EQ(*during->OpenDescriptors, *before->OpenDescriptors + 1);

  EXPECT_GT(during->ResidentBytes, 0u);
  EXPECT_GE(during->VirtualBytes, during->ResidentBytes);
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_LE(during->StartTime, now + 1);
  EXPECT_GT(during->StartTime, now - 24 * 3600);
}

}  // namespace
}  // namespace platform
