#include "platform/linux/ProcessProbe.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace platform {
namespace {

TEST(ParseProcessIdentity, CountsFieldsAfterTheLastParenthesis) {
  // A command name may hold blanks and parentheses.
  const char* text =
      "4242 (a) b (c) S 17 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 3 0 987654321 "
      "10000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
  auto stat = ParseProcessIdentity(text);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->state, 'S');
  EXPECT_EQ(stat->ppid, 17);
  EXPECT_EQ(stat->start_time, 987654321u);
}

TEST(ParseProcessIdentity, RejectsTextWithoutTheFields) {
  EXPECT_FALSE(ParseProcessIdentity(""));
  EXPECT_FALSE(ParseProcessIdentity("12 (x) S 1 2 3"));
  EXPECT_FALSE(ParseProcessIdentity("12 x S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"));
}

TEST(ReadProcessIdentity, DescribesTheCallingProcess) {
  auto stat = ReadProcessIdentity(getpid());
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->ppid, getppid());
  EXPECT_TRUE(ProcessIsAlive(getpid(), stat->start_time));
  EXPECT_FALSE(ProcessIsAlive(getpid(), stat->start_time + 1));
  EXPECT_FALSE(ReadProcessIdentity(0));
}

}  // namespace
}  // namespace platform
