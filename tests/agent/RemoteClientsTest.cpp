#include "agent/RemoteClients.h"

#include <gtest/gtest.h>

#include "common/AgentConfig.h"
#include "tests/agent/AgentTestSupport.h"

namespace agent {
namespace {

TEST(RemoteClientAllowed, MatchesWholeAddressesAndPrefixesEndingAtADot) {
  const std::vector<std::string> defaults{"127.0.0.1", "127.0.0"};
  struct Case {
    const char* address;
    std::vector<std::string> list;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1", defaults, true},    {"127.0.0.77", defaults, true},
      {"127.0.1.1", defaults, false},   {"127.0.0", defaults, true},
      {"10.1.2.3", {"10.1"}, true},     {"10.10.2.3", {"10.1"}, false},  // a prefix ends at a dot
      {"10.1.2.3", {"10.1.2.3"}, true}, {"10.1.2.34", {"10.1.2.3"}, false},
      {"10.1.2.3", {" 10.1 "}, true},  // blanks around an entry do not count
      {"10.1.2.3", {"", " "}, false},  // empty entries match nothing
      {"", {"", "127.0.0.1"}, false},   {"192.168.0.5", {}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteClientAllowed(c.address, c.list), c.allowed) << c.address;
  }
}

class GatedWordAllowedTest : public AgentHomeTest {
 protected:
  GatedWordAllowedTest() { common::TheAgentConfig().RemoteClientList = {"127.0.0.1", "127.0.0"}; }
};

TEST_F(GatedWordAllowedTest, NeedsRemoteExecutionAndAListedAddressAndLogsARefusedAddress) {
  common::TheAgentConfig().AllowRemoteExec = false;
  EXPECT_FALSE(GatedWordAllowed("EXEC", {1, "127.0.0.1"}));
  EXPECT_FALSE(GatedWordAllowed("EXEC", {1, "127.0.1.1"}));
  EXPECT_EQ(Log(), "");

  common::TheAgentConfig().AllowRemoteExec = true;
  EXPECT_TRUE(GatedWordAllowed("EXEC", {1, "127.0.0.1"}));
  EXPECT_EQ(Log(), "");
  EXPECT_FALSE(GatedWordAllowed("SERVICE_STOP", {2, "127.0.1.1"}));
  EXPECT_EQ(CountLines(Log(), "SERVICE_STOP from 127.0.1.1 ignored"), 1) << Log();
  EXPECT_EQ(CountLines(Log(), "ignored"), 1);

  common::TheAgentConfig().LogLevel = 0;  // the refusal is a level-1 line
  EXPECT_FALSE(GatedWordAllowed("EXETASK", {2, "127.0.1.1"}));
  EXPECT_EQ(CountLines(Log(), "EXETASK"), 0);
}

}  // namespace
}  // namespace agent
