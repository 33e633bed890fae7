#include "agent/ServiceCommands.h"

#include <gtest/gtest.h>

#include "agent/CommandDispatcher.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/ScmTestRoot.h"

namespace agent {
namespace {

// The service commands as the dispatcher runs them, against an empty service
// manager of the test's own: the traces and replies around the manager calls.
class ServiceCommandsTest : public AgentHomeTest {
 protected:
  std::string Reply(std::string_view request) {
    return ProcessCommand(request, CommandContext{1, "127.0.0.1"}).Text;
  }

  testsupport::ScmTestRoot manager_root_;
};

TEST_F(ServiceCommandsTest, StatusTracesTheLineAndTheNameAroundTheQuery) {
  EXPECT_EQ(Reply("service_status nosuch\r\n"), "Service Not Found");
  EXPECT_EQ(Log(), "Service Statusservice_status nosuch\r\r\nService Status NOSUCH :\r\n");
}

TEST_F(ServiceCommandsTest, StopAndStartTraceTheLineAndTheNameAndReplyWithTheName) {
  common::TheAgentConfig().AllowRemoteExec = true;
  common::TheAgentConfig().RemoteClientList = {"127.0.0.1"};
  EXPECT_EQ(Reply("SERVICE_STOP nosuch\n"), "NOSUCH");
  EXPECT_EQ(Reply("SERVICE_START Other\n"), "OTHER");
  EXPECT_EQ(Log(),
            "Service StopSERVICE_STOP nosuch\r\nStop ServiceNOSUCH\r\n"
            "Service StopSERVICE_START Other\r\nStart ServiceOTHER\r\n");
}

TEST_F(ServiceCommandsTest, ALineWithoutANameIsTracedBeforeItFails) {
  common::TheAgentConfig().AllowRemoteExec = true;
  common::TheAgentConfig().RemoteClientList = {"127.0.0.1"};
  for (const std::string word : {"SERVICE_STATUS", "SERVICE_STOP", "SERVICE_START"}) {
    EXPECT_EQ(Reply(word + "\n"), "") << word;
  }
  const std::string log = Log();
  EXPECT_EQ(log.find("Service StatusSERVICE_STATUS\r\nSubscript out of range ProcessCommand Func "),
            0u)
      << log;
  EXPECT_EQ(CountLines(log, "Service StopSERVICE_STOP\r"), 1) << log;
  EXPECT_EQ(CountLines(log, "Service StopSERVICE_START\r"), 1) << log;
  EXPECT_EQ(CountLines(log, "Subscript out of range ProcessCommand Func "), 3) << log;
}

}  // namespace
}  // namespace agent
