#include "common/AgentConfig.h"

#include <sys/stat.h>

#include <cstdio>
#include <gtest/gtest.h>

#include "common/TaskFolders.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"
#include "tests/support/TempFolder.h"

namespace common {
namespace {

using testsupport::ReadAll;
using testsupport::ScopedEnv;
using testsupport::TempFolder;
using testsupport::WriteAll;

constexpr const char* kBaseKeys = "2 4 236 238 260 510";

AgentConfig Fresh() {
  AgentConfig config;
  config.PerfKeyList = kBaseKeys;
  return config;
}

AgentConfig Load(const std::string& text) {
  AgentConfig config = Fresh();
  ApplyAgentConfigText(config, text);
  return config;
}

class LoadAgentConfigTest : public ::testing::Test {
 protected:
  TempFolder home_;
  ScopedEnv env_{"TARVO_HOME", home_.path()};
};

TEST_F(LoadAgentConfigTest, WritesTheDefaultFileAndTaskFoldersWhenMissing) {
  AgentConfig config = Fresh();
  LoadAgentConfigFile(config, home_.Path("TarvoAgent.cfg"));

  const std::string expected =
      "LISTEN=0.0.0.0 \r\nPORT=9000 \r\nRRDTOOL=TRUE \r\nNETMON=TRUE \r\nTARVOSERVER=\r\n"
      "TARGETTARVOAGENT=127.0.0.1\r\nAllowRemoteExec=False \r\nPERIODOBASE=2000 \r\n"
      "NETINTERFACE1=\r\nNETINTERFACE2=\r\nNETINTERFACE3=\r\nNETINTERFACE4=\r\n"
      "PERFORMANCEMON1=\r\nPERFORMANCEMON2=\r\nPERFORMANCEMON3=\r\nPERFORMANCEMON4=\r\n"
      "REMOTECLIENTS=127.0.0.1;127.0.0\r\nCOMMAND1=ss | -t -n |:80|ESTAB\r\n"
      "COMMAND2=ss | -t -n |:50000|ESTAB\r\nLOGLEVEL=0 ";
  EXPECT_EQ(ReadAll(home_.Path("TarvoAgent.cfg")), expected);
  EXPECT_TRUE(platform::IsFolder(home_.Path("Tasks")));
  EXPECT_TRUE(platform::IsFolder(home_.Path("Tasks/Queue")));
  EXPECT_TRUE(platform::IsFolder(home_.Path("Tasks/Done")));
  EXPECT_EQ(ReadAll(home_.Path("Tasks/hello.sh")), SampleTaskText());

  EXPECT_EQ(config.ListenAddress, "0.0.0.0");
  EXPECT_EQ(config.Port, 9000);
  EXPECT_EQ(config.RrdTool, "TRUE");
  EXPECT_TRUE(RrdToolIsOn(config));
  EXPECT_TRUE(config.NetMon);
  EXPECT_EQ(config.CentralServer, "");
  EXPECT_EQ(config.TargetAgent, "127.0.0.1");
  EXPECT_FALSE(config.AllowRemoteExec);
  EXPECT_EQ(config.PeriodBase, 2000);
  EXPECT_EQ(config.RemoteClientList, (std::vector<std::string>{"127.0.0.1", "127.0.0"}));
  EXPECT_EQ(config.Command[0].Program, "ss ");
  EXPECT_EQ(config.Command[0].Arguments, " -t -n ");
  EXPECT_EQ(config.Command[0].MatchText1, ":80");
  EXPECT_EQ(config.Command[0].MatchText2, "ESTAB");
  EXPECT_EQ(config.Command[1].MatchText1, ":50000");
  EXPECT_EQ(config.LogLevel, 0);
  EXPECT_EQ(config.PerfKeyList, kBaseKeys);
  EXPECT_EQ(config.ProcessTimeout, kDefaultProcessTimeoutSeconds);
}

TEST_F(LoadAgentConfigTest, KeepsAnExistingFileAndResetsOnlyTheListedFields) {
  WriteAll(home_.Path("TarvoAgent.cfg"), "PORT=1234\r\n");
  AgentConfig config = Fresh();
  config.RrdTool = "TRUE";
  config.CentralServer = "old";
  config.TargetAgent = "10.0.0.9";
  config.Command[0].Program = "x";
  config.Command[3].Program = "kept";
  config.NetMon = false;
  config.LogLevel = 5;
  config.PeriodBase = 77;
  LoadAgentConfigFile(config, home_.Path("TarvoAgent.cfg"));

  EXPECT_EQ(ReadAll(home_.Path("TarvoAgent.cfg")), "PORT=1234\r\n");
  EXPECT_FALSE(platform::IsFolder(home_.Path("Tasks")));
  EXPECT_EQ(config.Port, 1234);
  EXPECT_FALSE(config.RrdTool.has_value());
  EXPECT_FALSE(RrdToolIsOn(config));
  EXPECT_EQ(config.CentralServer, "");
  EXPECT_EQ(config.TargetAgent, "127.0.0.1");
  EXPECT_EQ(config.Command[0].Program, "");
  EXPECT_EQ(config.Command[3].Program, "kept");
  EXPECT_TRUE(config.NetMon);
  EXPECT_EQ(config.LogLevel, 0);
  EXPECT_EQ(config.PeriodBase, 77);
}

TEST_F(LoadAgentConfigTest, StopsAtAnUnclosedQuote) {
  WriteAll(home_.Path("TarvoAgent.cfg"), "PORT=1\r\n\"PORT=2\r\nPORT=3\r\n");
  AgentConfig config = Fresh();
  LoadAgentConfigFile(config, home_.Path("TarvoAgent.cfg"));
  EXPECT_EQ(config.Port, 1);
}

TEST(ApplyAgentConfigTextTest, MatchesKeysInAnyCaseButNotWithBlanksAroundTheEquals) {
  EXPECT_EQ(Load("port=8080").Port, 8080);
  EXPECT_EQ(Load("PORT = 8080").Port, 0);
  EXPECT_EQ(Load("PORT=abc").Port, 0);
  EXPECT_EQ(Load("PORT=8080\r\nPORT=").Port, 8080);
  EXPECT_EQ(Load("   LOGLEVEL=5   ").LogLevel, 5);
}

TEST(ApplyAgentConfigTextTest, ConvertsBooleansAsTheLoaderDoes) {
  EXPECT_TRUE(Load("NETMON=NO").NetMon);
  EXPECT_FALSE(Load("NETMON=0").NetMon);
  EXPECT_FALSE(Load("NETMON=false").NetMon);
  EXPECT_FALSE(Load("AllowRemoteExec=False").AllowRemoteExec);
  EXPECT_FALSE(Load("ALLOWREMOTEEXEC=0").AllowRemoteExec);
  EXPECT_TRUE(Load("ALLOWREMOTEEXEC=YES").AllowRemoteExec);
  EXPECT_TRUE(Load("AllowRemoteExec=True").AllowRemoteExec);
  EXPECT_FALSE(Load("ALLOWREMOTEEXEC=yes").AllowRemoteExec);
  EXPECT_TRUE(Load("ALLOWREMOTEEXEC=True\r\nALLOWREMOTEEXEC=yes").AllowRemoteExec);
}

TEST(ApplyAgentConfigTextTest, NetMonAddsTheNetworkObjectOnlyOnce) {
  AgentConfig config;
  config.PerfKeyList = "2 4";
  ApplyAgentConfigText(config, "NETMON=whatever\r\nNETMON=TRUE");
  EXPECT_EQ(config.PerfKeyList, "2 4 510");
  EXPECT_EQ(Load("NETMON=TRUE").PerfKeyList, kBaseKeys);
}

TEST(ApplyAgentConfigTextTest, ACommaSplitsALineIntoTwoItems) {
  const AgentConfig config = Load("COMMAND3=dir,x|y");
  EXPECT_EQ(config.Command[2].Program, "dir");
  EXPECT_EQ(config.Command[2].Arguments, "");
  EXPECT_EQ(config.Command[2].MatchText1, "");
  EXPECT_EQ(config.Command[2].MatchText2, "");
}

TEST(ApplyAgentConfigTextTest, PerformanceCountersFillSubFieldsAndGrowTheKeyList) {
  AgentConfig config = Load("PERFORMANCEMON2=238|% Processor Time|_Total|CPU");
  EXPECT_EQ(config.PerfMon[1].ObjectIndex, "238");
  EXPECT_EQ(config.PerfMon[1].CounterName, "% Processor Time");
  EXPECT_EQ(config.PerfMon[1].InstanceName, "_Total");
  EXPECT_EQ(config.PerfMon[1].Label, "CPU");
  EXPECT_EQ(config.PerfKeyList, kBaseKeys);

  config = Load("PERFORMANCEMON3=674|Bytes/sec||X\r\nPERFORMANCEMON3=674|Bytes/sec||X");
  EXPECT_EQ(config.PerfKeyList, std::string(kBaseKeys) + " 674");
  EXPECT_EQ(config.PerfMon[2].InstanceName, "");
  EXPECT_EQ(config.PerfMon[2].Label, "X");

  // Containment of text: 23 is found inside 236.
  EXPECT_EQ(Load("PERFORMANCEMON1=23|x").PerfKeyList, kBaseKeys);
}

TEST(ApplyAgentConfigTextTest, MissingSubFieldsKeepTheirValues) {
  AgentConfig config = Load("PERFORMANCEMON4=230|A|B|C\r\nPERFORMANCEMON4=\r\nPERFORMANCEMON4=231|Z");
  EXPECT_EQ(config.PerfMon[3].ObjectIndex, "231");
  EXPECT_EQ(config.PerfMon[3].CounterName, "Z");
  EXPECT_EQ(config.PerfMon[3].InstanceName, "B");
  EXPECT_EQ(config.PerfMon[3].Label, "C");
  EXPECT_EQ(config.PerfKeyList, std::string(kBaseKeys) + " 230 231");

  config = Load("COMMAND4=a|b|c|d\r\nCOMMAND4=e");
  EXPECT_EQ(config.Command[3].Program, "e");
  EXPECT_EQ(config.Command[3].MatchText2, "d");

  EXPECT_EQ(Load("PERFORMANCEMON4=").PerfKeyList, kBaseKeys);
}

TEST(ApplyAgentConfigTextTest, TextKeysTakeTheValueUpToASecondEquals) {
  EXPECT_EQ(Load("TARGETTARVOAGENT=10.0.0.5=x").TargetAgent, "10.0.0.5");
  AgentConfig config;
  config.CentralServer = "before";
  ApplyAgentConfigText(config, "TARVOSERVER=");
  EXPECT_EQ(config.CentralServer, "");
  EXPECT_EQ(Load("NETINTERFACE2=eth0").NetInterface[1], "eth0");
  EXPECT_EQ(Load("HOSTNAME_REMOTE_TARVO=box").RemoteHostName, "box");
  EXPECT_EQ(Load("LISTEN=127.0.0.1").ListenAddress, "127.0.0.1");
}

TEST(ApplyAgentConfigTextTest, IgnoresLinesWithoutEqualsEmptyLinesAndUnknownKeys) {
  const AgentConfig config = Load("just text\r\n\r\nUNKNOWN=1\r\nPORT=7");
  EXPECT_EQ(config.Port, 7);
}

TEST(ApplyAgentConfigTextTest, SplitsRemoteClientsAtSemicolons) {
  const AgentConfig config = Load("REMOTECLIENTS=10.1;192.168.0.2;");
  EXPECT_EQ(config.RemoteClients, "10.1;192.168.0.2;");
  EXPECT_EQ(config.RemoteClientList, (std::vector<std::string>{"10.1", "192.168.0.2", ""}));
}

TEST(ApplyAgentConfigTextTest, ReadsTheProcessTimeout) {
  EXPECT_EQ(Load("PROCESSTIMEOUT=5").ProcessTimeout, 5);
  EXPECT_EQ(Load("PROCESSTIMEOUT=0").ProcessTimeout, kDefaultProcessTimeoutSeconds);
  EXPECT_EQ(Load("PROCESSTIMEOUT=x").ProcessTimeout, kDefaultProcessTimeoutSeconds);
}

TEST(ApplyAgentConfigTextTest, ReadsTheMetricsEndpointKeys) {
  const AgentConfig absent = Load(DefaultAgentConfigText());
  EXPECT_EQ(absent.MetricsPort, 0);
  EXPECT_FALSE(absent.MetricsListen);
  EXPECT_FALSE(absent.MetricsClientList);

  const AgentConfig set =
      Load("metricsport=9464 \r\nMETRICSLISTEN=localhost\r\nMETRICSCLIENTS=10.1;127.0.0.1");
  EXPECT_EQ(set.MetricsPort, 9464);
  EXPECT_EQ(set.MetricsListen, "localhost");
  EXPECT_EQ(set.MetricsClientList, (std::vector<std::string>{"10.1", "127.0.0.1"}));

  // A port out of range or not a number keeps the endpoint off; empty values are no values.
  for (const char* text : {"METRICSPORT=70000", "METRICSPORT=-1", "METRICSPORT=x"}) {
    EXPECT_EQ(Load(text).MetricsPort, 0) << text;
  }
  const AgentConfig empty = Load("METRICSLISTEN=\r\nMETRICSCLIENTS=");
  EXPECT_FALSE(empty.MetricsListen);
  EXPECT_FALSE(empty.MetricsClientList);
}

TEST(ApplyAgentConfigTextTest, ReadsTheTlsKeysWhichAreOffWhenAbsent) {
  const AgentConfig off = Load("PORT=9000");
  EXPECT_EQ(off.TlsPort, 0);
  EXPECT_EQ(off.TlsCert, "");
  EXPECT_FALSE(off.ExecRequiresTls);

  const AgentConfig on = Load(
      "tlsport=9443\r\nTLSCERT=agent.crt\r\nTlsKey=/etc/tarvo/agent.key\r\nTLSCA=ca.pem\r\n"
      "ExecRequiresTls=True");
  EXPECT_EQ(on.TlsPort, 9443);
  EXPECT_EQ(on.TlsCert, "agent.crt");
  EXPECT_EQ(on.TlsKey, "/etc/tarvo/agent.key");
  EXPECT_EQ(on.TlsCa, "ca.pem");
  EXPECT_TRUE(on.ExecRequiresTls);
  EXPECT_TRUE(Load("EXECREQUIRESTLS=YES").ExecRequiresTls);
  EXPECT_FALSE(Load("EXECREQUIRESTLS=maybe").ExecRequiresTls);
}

TEST(RrdToolIsOnTest, IsFalseOnlyForFalseWordsZeroOrAbsence) {
  AgentConfig config;
  EXPECT_FALSE(RrdToolIsOn(config));
  for (const char* off : {"FALSE", "false", "0"}) {
    EXPECT_FALSE(RrdToolIsOn(Load(std::string("RRDTOOL=") + off))) << off;
  }
  for (const char* on : {"TRUE", "YES", "1", "anything"}) {
    EXPECT_TRUE(RrdToolIsOn(Load(std::string("RRDTOOL=") + on))) << on;
  }
}

// Runs the sample task with /bin/sh and returns what it printed.
std::string RunSample(const std::string& script, const std::string& args) {
  const std::string command = "/bin/sh '" + script + "' " + args + " 2>&1";
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

TEST_F(LoadAgentConfigTest, TheSampleTaskAnswersHelpOrRuns) {
  PrepareTaskFolders();
  const std::string script = home_.Path("Tasks/hello.sh");
  struct stat info{};
  ASSERT_EQ(stat(script.c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);

  const std::string help =
      "O parametro 'RUN' executa este batch\nO parametro '?' exibe esta mensagem\n.\n"
      "Este batch tem a finalidade exemplificar a execucao\n"
      "de comandos remotos atraves do TarvoAgent\nFIM\n";
  for (const char* args : {"", "'?'", "h", "/h", "-h", "' '"}) {
    EXPECT_EQ(RunSample(script, args), help) << "args: " << args;
  }
  const std::string run = RunSample(script, "RUN");
  EXPECT_EQ(run.rfind("Esta Funcionando !!\nFormating your Disk ;-)    (just kidding)\n", 0), 0u);
  EXPECT_NE(run.find("hello.sh"), std::string::npos);
  EXPECT_EQ(run.substr(run.size() - 4), "FIM\n");
}

}  // namespace
}  // namespace common
