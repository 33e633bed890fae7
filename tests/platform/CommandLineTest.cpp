#include "platform/CommandLine.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

using Args = std::vector<std::string>;

struct SplitCase {
  const char* line;
  Args expected;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, SplitsByTheWindowsRules) {
  EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    ::testing::Values(
        SplitCase{"", {}}, SplitCase{"   ", {}},
        SplitCase{"netstat  -n -p tcp ", {"netstat", "-n", "-p", "tcp"}},
        SplitCase{"\"/opt/my app/run\" a b", {"/opt/my app/run", "a", "b"}},
        SplitCase{"\"/x/Tasks/HELLO.SH\"    ", {"/x/Tasks/HELLO.SH"}},
        SplitCase{"p \"a b\" c", {"p", "a b", "c"}},
        SplitCase{"p \"\"", {"p", ""}},
        SplitCase{"p a\\\\b", {"p", "a\\\\b"}},
        SplitCase{"p a\\\"b", {"p", "a\"b"}},
        SplitCase{"p \"a\\\\\" b", {"p", "a\\", "b"}},
        SplitCase{"p \"say \"\"hi\"\"\"", {"p", "say \"hi\""}},
        SplitCase{"p\tx", {"p", "x"}},
        // The program name takes no backslash escapes.
        SplitCase{"C:\\bin\\x.exe y", {"C:\\bin\\x.exe", "y"}}));

TEST(JoinCommandLineTest, RoundTripsThroughSplit) {
  const std::vector<Args> cases = {
      {"prog", "plain"},
      {"/path with space/prog", "a b", ""},
      {"prog", "quote\"inside", "trailing\\", "both \\\" here", "back\\\\slash"},
  };
  for (const Args& args : cases) {
    EXPECT_EQ(SplitCommandLine(JoinCommandLine(args)), args) << JoinCommandLine(args);
  }
}

}  // namespace
}  // namespace platform
