#include "client/ConfigSave.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

TEST_F(ConfigSaveTest, ANewFileGetsTheTwentyLines) {
  common::AgentConfig config = Load();  // writes the default file first
  std::filesystem::remove(path_);
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

// Files as people and older programs leave them. An unchanged save must give
// them back byte for byte; an edited one must read back as edited, whatever
// else the file holds, with everything else where it stood.
TEST_F(ConfigSaveTest, SavesOnlyWhatChangedWhateverTheFormerFileHolds) {
  const struct {
    const char* name;
    std::string file;
    std::string kept;  // a part that the edited save must keep as it was
  } cases[] = {
      {"default file", common::DefaultAgentConfigText(), "NETMON=TRUE \r\n"},
      {"latin-1, comments, quotes and commas",
       "# Tarvo "
       "Agent\r\nTARVOSERVER=servi\xE7o.local\r\nPORT=9000\r\nLOGLEVEL=2,COMMAND3=inline|x\r\n"
       "; kept as written\r\n\"COMMAND4=a,b|c\"\r\n\"PORT=23099\"\r\n",
       "; kept as written\r\n\"COMMAND4=a,b|c\"\r\n"},
      {"CR-only lines", "LISTEN=127.0.0.1\rPORT=8080\rLOGLEVEL=1\rCOMMAND3=ps|-e|x|y\r",
       "LISTEN=127.0.0.1\r"},
      {"a quoted value that holds a comma",
       "\"COMMAND1=ss|-t -n state established,syn-sent|:80|ESTAB\"\r\nPORT=9000\r\n",
       "\"COMMAND1=ss|-t -n state established,syn-sent|:80|ESTAB\"\r\n"},
      {"a value that cannot be a port, then a quote never closed",
       "PORT=8080\r\nport=abc\r\nPROCESSTIMEOUT=30\r\n\"COMMAND4=never closed\r\nPORT=1\r\n",
       "PROCESSTIMEOUT=30\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(path_, c.file);
    common::AgentConfig config = Load();
    ASSERT_EQ(SaveConfigFile(EditsOf(config), config, path_), std::nullopt);
    EXPECT_EQ(ReadAll(path_), c.file);

    const common::AgentConfig before = Load();
    ConfigEdits edits = EditsOf(config);
    edits.Port = "9001";
    edits.LogLevel = "3";
    ASSERT_EQ(SaveConfigFile(edits, config, path_), std::nullopt);
    const std::string saved = ReadAll(path_);
    EXPECT_NE(saved.find(c.kept), std::string::npos) << saved;
    common::AgentConfig expected = before;
    expected.Port = 9001;
    expected.LogLevel = 3;
    const common::AgentConfig reloaded = Load();
    expected.PerfKeyList = reloaded.PerfKeyList;
    EXPECT_EQ(reloaded, expected) << saved;
  }
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

  // Each changed key in its place; keys the file lacked at its end.
  EXPECT_EQ(ReadAll(path_),
            "PORT=9000\r\nTARGETTARVOAGENT=127.0.0.1\r\nPERIODOBASE=1500\r\n"
            "COMMAND3=ps | -e |sshd|\r\nPROCESSTIMEOUT=30\r\nNETINTERFACE3=eth9\r\n"
            "PERFORMANCEMON1=238|% Processor Time|0#0|CPU\r\n"
            "PERFORMANCEMON4=4|Available Bytes||FREE\r\nLOGLEVEL=2\r\n"
            "NETMON=False\r\nTARVOSERVER=central.example\r\nAllowRemoteExec=True\r\n"
            "NETINTERFACE1=lo\r\nPERFORMANCEMON2=2|Processes|\r\n");
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

// A value with a comma is saved so that it reads back whole; one the loader
// could only give back cut is refused with the file left as it was.
TEST_F(ConfigSaveTest, ValuesComeBackWholeOrAreRefused) {
  common::AgentConfig config = Load();
  ConfigEdits edits = EditsOf(config);
  edits.Command1 = "sh|-c echo a,b|a,b|";
  edits.TarvoServer = "central.example:8080";
  ASSERT_EQ(SaveConfigFile(edits, config, path_), std::nullopt);
  const common::AgentConfig reloaded = Load();
  EXPECT_EQ(reloaded.Command[0].Arguments, "-c echo a,b");
  EXPECT_EQ(reloaded.Command[0].MatchText1, "a,b");
  EXPECT_EQ(reloaded.CentralServer, "central.example:8080");

  const std::string before = ReadAll(path_);
  for (const char* value : {"sh|-c x=1|x|", "sh|-c \"a,b\"|x|"}) {
    ConfigEdits refused = EditsOf(config);
    refused.Command2 = value;
    const std::optional<std::string> error = SaveConfigFile(refused, config, path_);
    ASSERT_TRUE(error.has_value()) << value;
    EXPECT_NE(error->find("Command2 cannot hold"), std::string::npos) << *error;
    EXPECT_EQ(ReadAll(path_), before) << value;
  }
}

// What the editor does not show is saved as the file holds it at the save, not
// as it was when the client read it.
TEST_F(ConfigSaveTest, KeepsWhatAnotherHandChangedSinceTheClientRead) {
  common::AgentConfig config = Load();
  WriteAll(path_, ReadAll(path_) +
                      "\r\nPERIODOBASE=5000\r\nNETINTERFACE4=eth7\r\n"
                      "PERFORMANCEMON3=4|Available Bytes||FREE\r\n");
  ConfigEdits edits = EditsOf(config);
  edits.LogLevel = "2";
  ASSERT_EQ(SaveConfigFile(edits, config, path_), std::nullopt);
  const common::AgentConfig reloaded = Load();
  EXPECT_EQ(reloaded.LogLevel, 2);
  EXPECT_EQ(reloaded.PeriodBase, 5000);
  EXPECT_EQ(reloaded.NetInterface[3], "eth7");
  EXPECT_EQ(reloaded.PerfMon[2].CounterName, "Available Bytes");
  EXPECT_EQ(reloaded.PerfMon[2].Label, "FREE");
}

// The file seen through a link, read-only and another account's: the save
// writes the link's target and keeps what the file was.
TEST_F(ConfigSaveTest, AnEditedSaveThroughALinkKeepsTheLinkModeAndOwner) {
  const std::string target = home_.Path("TarvoAgent.real");
  WriteAll(target, common::DefaultAgentConfigText());
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  }
  std::filesystem::create_symlink("TarvoAgent.real", path_);
  common::AgentConfig config = Load();
  ConfigEdits edits = EditsOf(config);
  edits.Port = "9001";
  ASSERT_EQ(SaveConfigFile(edits, config, path_), std::nullopt);

  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(Load().Port, 9001);
  struct stat info {};
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  if (root) {
    EXPECT_EQ(info.st_uid, 65534u);
  }
}

TEST_F(ConfigSaveTest, AFifoInPlaceOfTheFileIsNeitherReadNorReplaced) {
  common::AgentConfig config = Load();
  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
  ConfigEdits edits = EditsOf(config);
  edits.Port = "9001";
  const std::optional<std::string> error = SaveConfigFile(edits, config, path_);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("not a regular file"), std::string::npos) << *error;
  EXPECT_TRUE(std::filesystem::is_fifo(path_));
  EXPECT_EQ(config.Port, 9000);
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
