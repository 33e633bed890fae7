#include "client/ConfigSave.h"

#include <gtest/gtest.h>

#include "common/AgentConfig.h"
#include "tests/client/ToolTestSupport.h"
#include "tests/support/TempFolder.h"

namespace client {
namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

class ConfigSaveTest : public ::testing::Test {
 protected:
  // The configuration as the client loads it at its start.
  common::AgentConfig Load() {
    common::AgentConfig config;
    common::LoadAgentConfigFile(config, path_);
    return config;
  }

  clienttest::ProgramFolder home_;
  std::string path_ = home_.Path("TarvoAgent.cfg");
};

TEST_F(ConfigSaveTest, SavingTheDefaultFileUnchangedWritesTheTwentyLines) {
  common::AgentConfig config = Load();  // writes the default file first
  ASSERT_EQ(SaveConfigFile(EditsOf(config), config, path_), std::nullopt);
  EXPECT_EQ(ReadAll(path_),
            "LISTEN=0.0.0.0\r\n"
            "PORT=9000\r\n"
            "RRDTOOL=True\r\n"
            "NETMON=True\r\n"
            "TARVOSERVER=\r\n"
            "TARGETTARVOAGENT=127.0.0.1\r\n"
            "AllowRemoteExec=False\r\n"
            "PERIODOBASE=2000\r\n"
            "NETINTERFACE1=\r\n"
            "NETINTERFACE2=\r\n"
            "NETINTERFACE3=\r\n"
            "NETINTERFACE4=\r\n"
            "PERFORMANCEMON1=||\r\n"
            "PERFORMANCEMON2=||\r\n"
            "PERFORMANCEMON3=||\r\n"
            "PERFORMANCEMON4=||\r\n"
            "REMOTECLIENTS=127.0.0.1;127.0.0\r\n"
            "COMMAND1=ss | -t -n |:80|ESTAB\r\n"
            "COMMAND2=ss | -t -n |:50000|ESTAB\r\n"
            "LOGLEVEL=0\r\n");
}

TEST_F(ConfigSaveTest, KeepsWhatTheEditorDoesNotShowAndReloadsAsSaved) {
  WriteAll(path_,
           "port=8080\r\nTARGETTARVOAGENT=10.0.0.9\r\nPERIODOBASE=1500\r\n"
           "COMMAND3=ps | -e |sshd|\r\nPROCESSTIMEOUT=30\r\nNETINTERFACE3=eth9\r\n"
           "PERFORMANCEMON1=238|% Processor Time|_Total|CPU\r\n"
           "PERFORMANCEMON4=4|Available Bytes||FREE\r\nLOGLEVEL=2\r\n");
  common::AgentConfig config = Load();
  ConfigEdits edits = EditsOf(config);
  edits.Port = "9000.5";  // halves go to the even neighbour
  edits.TarvoServer = "central.example";
  edits.Interface1 = "lo";
  edits.Performancemon1 = "238|% Processor Time|0#0";
  edits.Performancemon2 = "2|Processes|";
  edits.AllowRemoteExec = true;
  edits.NetMon = false;
  ASSERT_EQ(SaveConfigFile(edits, config, path_), std::nullopt);

  const std::string saved = ReadAll(path_);
  EXPECT_NE(saved.find("\r\nPORT=9000\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("LOGLEVEL=2\r\nCOMMAND3=ps | -e |sshd|\r\nPROCESSTIMEOUT=30\r\n"),
            std::string::npos)
      << saved;
  // The running client takes the new port and server at once, keeps its target.
  EXPECT_EQ(config.Port, 9000);
  EXPECT_EQ(config.CentralServer, "central.example");
  EXPECT_EQ(config.TargetAgent, "10.0.0.9");

  // The agent restarted on this file reads every value as saved.
  const common::AgentConfig reloaded = Load();
  EXPECT_EQ(reloaded.Port, 9000);
  EXPECT_EQ(reloaded.CentralServer, "central.example");
  EXPECT_EQ(reloaded.TargetAgent, "127.0.0.1");
  EXPECT_EQ(reloaded.PeriodBase, 1500);
  EXPECT_EQ(reloaded.NetInterface[0], "lo");
  EXPECT_EQ(reloaded.NetInterface[2], "eth9");
  EXPECT_TRUE(reloaded.AllowRemoteExec);
  EXPECT_FALSE(reloaded.NetMon);
  EXPECT_EQ(reloaded.PerfMon[0].InstanceName, "0#0");
  EXPECT_EQ(reloaded.PerfMon[0].Label, "CPU");
  EXPECT_EQ(reloaded.PerfMon[1].CounterName, "Processes");
  EXPECT_EQ(reloaded.PerfMon[3].Label, "FREE");
  EXPECT_EQ(reloaded.Command[2].MatchText1, "sshd");
  EXPECT_EQ(reloaded.ProcessTimeout, 30);
  EXPECT_EQ(reloaded.LogLevel, 2);
  EXPECT_EQ(reloaded.RemoteClients, config.RemoteClients);
}

TEST_F(ConfigSaveTest, ANumberThatIsNotOneLeavesTheFileAndTheRecordAsTheyWere) {
  common::AgentConfig config = Load();
  const std::string before = ReadAll(path_);
  for (const char* field : {"port", "loglevel"}) {
    ConfigEdits edits = EditsOf(config);
    (std::string(field) == "port" ? edits.Port : edits.LogLevel) = "abc";
    edits.TarvoServer = "changed";
    const std::optional<std::string> error = SaveConfigFile(edits, config, path_);
    ASSERT_TRUE(error.has_value()) << field;
    EXPECT_NE(error->find("\"abc\""), std::string::npos) << *error;
    EXPECT_EQ(ReadAll(path_), before) << field;
    EXPECT_EQ(config.CentralServer, "") << field;
  }
}

}  // namespace
}  // namespace client
