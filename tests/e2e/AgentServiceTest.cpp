// The agent program from outside: started from a shell, and as a service of the
// embedded service manager through tarvo-sc.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/e2e/AgentInstall.h"

namespace e2e {
namespace {

using testsupport::ProcessAlive;
using testsupport::ReadAll;
using testsupport::WaitUntil;

// Position of the entry in the log, or npos; each entry must follow the one before.
void ExpectInOrder(const std::string& log, const std::vector<std::string>& entries) {
  size_t from = 0;
  for (const std::string& entry : entries) {
    const size_t at = log.find(entry, from);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << entry << "\nlog:\n" << log;
    from = at + entry.size();
  }
}

TEST(AgentFromShell, WritesTheDefaultFilesOnFirstStartAndEnds) {
  AgentInstall install;
  const auto result = install.RunAgentFromShell();
  EXPECT_EQ(result.exit_code, 0);

  const std::string config = ReadAll(install.Path("TarvoAgent.cfg"));
  size_t line_ends = 0;
  for (size_t at = config.find("\r\n"); at != std::string::npos; at = config.find("\r\n", at + 2)) {
    ++line_ends;
  }
  EXPECT_EQ(line_ends, 19u);
  EXPECT_EQ(config.rfind("LISTEN=0.0.0.0 \r\n", 0), 0u);
  EXPECT_TRUE(config.ends_with("\r\nLOGLEVEL=0 "));
  EXPECT_NE(config.find("\r\nCOMMAND1=ss | -t -n |:80|ESTAB\r\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(install.Path("Tasks/Queue")));
  EXPECT_TRUE(std::filesystem::is_directory(install.Path("Tasks/Done")));
  EXPECT_TRUE(std::filesystem::is_regular_file(install.Path("Tasks/hello.sh")));
}

TEST(AgentFromShell, DefaultFilesThatCannotBeWrittenAreNotWrittenAtAll) {
  AgentInstall install;
  // As on a full disk: no file may grow by a single byte.
  const auto full = testsupport::RunProgram(
      {"/bin/sh", "-c", "ulimit -f 0; trap '' XFSZ; exec \"$0\"", install.Path("AgentTarvoService")});
  EXPECT_EQ(full.exit_code, 0) << full.output;
  EXPECT_FALSE(std::filesystem::exists(install.Path("TarvoAgent.cfg")));
  EXPECT_FALSE(std::filesystem::exists(install.Path("Tasks/hello.sh")));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(install.folder())) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
  // Once there is room, the next start writes them whole.
  EXPECT_EQ(install.RunAgentFromShell().exit_code, 0);
  EXPECT_TRUE(ReadAll(install.Path("TarvoAgent.cfg")).ends_with("\r\nLOGLEVEL=0 "));
  EXPECT_GT(std::filesystem::file_size(install.Path("Tasks/hello.sh")), 0u);
}

TEST(AgentFromShell, LogsItsStartUpAndRefusesToRunOutsideTheServiceManager) {
  AgentInstall install;
  install.WriteConfig({"LOGLEVEL=5"});
  const auto result = install.RunAgentFromShell();
  EXPECT_EQ(result.exit_code, 0);
  ExpectInOrder(install.Log(), {"Verificando instancias... ", "Verificando OS... ",
                                "Verificando Sistema operacional ! ",
                                "Criando evento de serviços...(stop) ",
                                "Criando evento de serviços...(stop pending) ",
                                "Criando evento de serviços...(start) ",
                                "Tentando iniciar serviços... ",
                                "This program must be started as a service.\r\n",
                                "Iniciando loop do servico "});
  EXPECT_EQ(install.Log().find("Serviço iniciado !"), std::string::npos);
}

TEST(AgentFromShell, NamesTheCauseWhenItsLockFileCannotBeOpened) {
  AgentInstall install;
  install.WriteConfig({"LOGLEVEL=1"});
  const std::string lock = install.Path("AgentTarvoService.lock");
  std::filesystem::create_symlink(install.Path("missing/folder"), lock);
  EXPECT_EQ(install.RunAgentFromShell().exit_code, 0);
  const std::string log = install.Log();
  EXPECT_NE(log.find("Cannot open the instance lock " + lock + ": No such file or directory "),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Ja existe"), std::string::npos) << log;
}

TEST(AgentAsService, StartsStopsAndRefusesASecondInstance) {
  AgentInstall install;
  install.WriteConfig({"LOGLEVEL=5", "RRDTOOL=FALSE", "PERIODOBASE=0"});
  const pid_t pid = install.StartAgentService();
  ASSERT_GT(pid, 0) << install.Log();
  // The agent reports running just before it logs so.
  EXPECT_TRUE(
      WaitUntil([&] { return install.Log().find("Serviço iniciado !") != std::string::npos; }));
  EXPECT_EQ(install.State("tarvo AGENT service"), 4);  // names ignore letter case

  // A second copy, started meanwhile, refuses to run and leaves the first alone.
  const auto second = install.RunAgentFromShell();
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_NE(install.Log().find("Ja existe uma instancia carregada ! "), std::string::npos);
  EXPECT_EQ(install.State(kAgentService), 4);
  EXPECT_TRUE(ProcessAlive(pid));

  EXPECT_EQ(install.Sc({"stop", kAgentService}).exit_code, 0);
  EXPECT_TRUE(install.WaitForState(kAgentService, 1));
  EXPECT_TRUE(WaitUntil([pid] { return !ProcessAlive(pid); }));
  ExpectInOrder(install.Log(), {"Serviço iniciado !", "Parando serviço... "});

  EXPECT_EQ(install.Sc({"delete", kAgentService}).exit_code, 0);
  // The exit status carries the Windows code as far as 8 bits allow; the text names it.
  const auto query = install.Sc({"query", kAgentService});
  EXPECT_NE(query.exit_code, 0);
  EXPECT_NE(query.output.find("1060"), std::string::npos) << query.output;
}

TEST(AgentAsService, StartsAgainAsSoonAsItReadsStopped) {
  AgentInstall install;
  install.WriteConfig({"RRDTOOL=FALSE", "PERIODOBASE=0"});
  ASSERT_GT(install.StartAgentService(), 0) << install.Log();
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(install.Sc({"stop", kAgentService}).exit_code, 0) << "round " << round;
    ASSERT_TRUE(install.WaitForState(kAgentService, 1)) << "round " << round;
    ASSERT_EQ(install.Sc({"start", kAgentService}).exit_code, 0) << "round " << round;
    ASSERT_TRUE(install.WaitForState(kAgentService, 4)) << "round " << round << install.Log();
  }
  EXPECT_EQ(install.Log().find("Ja existe uma instancia carregada"), std::string::npos);
}

TEST(AgentAsService, RunsOnItsStartUpValuesWhenTheConfigurationIsAFifo) {
  AgentInstall install;
  ASSERT_EQ(mkfifo(install.Path("TarvoAgent.cfg").c_str(), 0644), 0);
  ASSERT_GT(install.StartAgentService(), 0) << install.Log();
  EXPECT_NE(install.Log().find("The configuration " + install.Path("TarvoAgent.cfg") +
                               " is not a regular file; running on the start-up values "),
            std::string::npos)
      << install.Log();
  EXPECT_EQ(install.Sc({"stop", kAgentService}).exit_code, 0);
  EXPECT_TRUE(install.WaitForState(kAgentService, 1));
  struct stat info {};
  ASSERT_EQ(stat(install.Path("TarvoAgent.cfg").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(AgentAsService, AKilledServiceReadsStopped) {
  AgentInstall install;
  install.WriteConfig({"RRDTOOL=FALSE"});
  const pid_t pid = install.StartAgentService();
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  EXPECT_TRUE(install.WaitForState(kAgentService, 1));
  // It can be started again afterwards: the instance lock died with it.
  EXPECT_EQ(install.Sc({"start", kAgentService}).exit_code, 0);
  EXPECT_TRUE(install.WaitForState(kAgentService, 4));
}

}  // namespace
}  // namespace e2e
