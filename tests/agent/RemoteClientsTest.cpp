#include "agent/RemoteClients.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

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

TEST(IsLocalMachineAddress, TakesLoopbackAndThisMachinesInterfaceAddresses) {
  EXPECT_TRUE(IsLocalMachineAddress("127.0.0.1"));
  EXPECT_TRUE(IsLocalMachineAddress("127.3.2.1"));
  EXPECT_FALSE(IsLocalMachineAddress("203.0.113.9"));  // a documentation address
  EXPECT_FALSE(IsLocalMachineAddress(""));
  EXPECT_FALSE(IsLocalMachineAddress("localhost"));
  ifaddrs* interfaces = nullptr;
  ASSERT_EQ(getifaddrs(&interfaces), 0);
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
              sizeof(text));
    EXPECT_TRUE(IsLocalMachineAddress(text)) << text;
  }
  freeifaddrs(interfaces);
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
