#include "client/AgentPolling.h"

#include <gtest/gtest.h>

#include <set>

namespace client {
namespace {

std::optional<std::vector<std::string>> Values(std::string_view reply,
                                               std::vector<std::string> keys) {
  return ValuesFromReply(reply, keys);
}

TEST(ValuesFromReplyTest, TakesTheTextAfterEachKeyUpToTheCarriageReturn) {
  const std::string reply = std::string(1, '\0') + "CPU1=5\r\nCPU2=17  \r\nTHREADS=812\r\nCMD3=";
  EXPECT_EQ(Values(reply, {"CPU1=", "CPU2=", "THREADS=", "CMD3="}),
            (std::vector<std::string>{"5", "17  ", "812", ""}));
  // The last key without a carriage return gives the rest of the text.
  EXPECT_EQ(Values("PROCS=1\r\nCPU1=42 and more", {"CPU1="}), std::vector<std::string>{"42 and more"});
  // A second occurrence of the same key ends the value before a carriage return.
  EXPECT_EQ(Values("CPU1=7CPU1=8\r\n", {"CPU1="}), std::vector<std::string>{"7"});
  // Keys are matched case-sensitively with their equals sign.
  EXPECT_EQ(Values("cpu1=3\r\n", {"CPU1="}), std::nullopt);
}

TEST(ValuesFromReplyTest, FailsWhenAnyKeyIsMissing) {
  EXPECT_EQ(Values("CPU1=5\r\nPROCS=9\r\n", {"CPU1=", "THREADS=", "PROCS="}), std::nullopt);
}

TEST(Form1RowsTest, FillsNineteenDistinctBoxesAndLeavesDisksThreeToEightEmpty) {
  std::set<std::string> keys;
  int empty = 0;
  for (const Form1Row& row : Form1Rows()) {
    if (*row.Key == '\0') ++empty;
    else keys.insert(row.Key);
  }
  EXPECT_EQ(Form1Rows().size(), 25u);
  EXPECT_EQ(keys.size(), 19u);
  EXPECT_EQ(empty, 6);
  EXPECT_STREQ(Form1Rows()[7].Box, "Text2");
  EXPECT_STREQ(Form1Rows()[11].Unit, "k bytes ");
}

TEST(StatusTextTest, KeepsTheSpacingOfTheStatusLine) {
  EXPECT_EQ(RefreshStatusText("12/07/2026 17:40:01", "127.0.0.1"),
            "Refresh time:   12/07/2026 17:40:01    (127.0.0.1)");
  EXPECT_EQ(FailedStatusText("12/07/2026 17:40:01"), "Refresh time:   12/07/2026 17:40:01 !");
}

TEST(SplitHostAndPortTest, TakesAPortOnlyWhenOneIsWritten) {
  struct Case {
    std::string text, host;
    uint16_t port;
  };
  for (const Case& c : std::vector<Case>{{"central.example", "central.example", 80},
                                         {"10.0.0.9:8081", "10.0.0.9", 8081},
                                         {"host:", "host:", 80},
                                         {"host:99999", "host:99999", 80},
                                         {"::1", "::1", 80}}) {
    const HostAndPort address = SplitHostAndPort(c.text, 80);
    EXPECT_EQ(address.Host, c.host) << c.text;
    EXPECT_EQ(address.Port, c.port) << c.text;
  }
}

}  // namespace
}  // namespace client
