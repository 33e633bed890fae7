#include "agent/TlsSetup.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/agent/AgentTestSupport.h"
#include "tests/support/TestCertificates.h"

namespace agent {
namespace {

using testsupport::TempFolder;
using testsupport::WriteAll;

class TlsSetupTest : public AgentHomeTest {
 protected:
  TlsSetupTest() {
    // The agent's files under relative names in its program folder.
    std::filesystem::copy_file(pki_.server.certificate_file, home_.Path("agent.pem"));
    std::filesystem::copy_file(pki_.server.key_file, home_.Path("agent.key"));
    std::filesystem::copy_file(pki_.ca.files().certificate_file, home_.Path("ca.pem"));
    chmod(home_.Path("agent.key").c_str(), 0600);
    common::AgentConfig& config = common::TheAgentConfig();
    config.LogLevel = 0;
    config.TlsPort = 9443;
    config.TlsCert = "agent.pem";
    config.TlsKey = "agent.key";
    config.TlsCa = "ca.pem";
  }

  TempFolder certificates_;
  testsupport::TestPki pki_{certificates_.path()};
};

TEST_F(TlsSetupTest, LoadsTheFilesFromTheProgramFolderOnlyWhenTheTlsPortIsSet) {
  EXPECT_NE(LoadTlsServerContext(), nullptr) << Log();
  common::TheAgentConfig().TlsCa = pki_.ca.files().certificate_file;  // an absolute name
  EXPECT_NE(LoadTlsServerContext(), nullptr) << Log();
  common::TheAgentConfig().TlsPort = 0;
  EXPECT_EQ(LoadTlsServerContext(), nullptr);
  EXPECT_EQ(Log(), "");
}

TEST_F(TlsSetupTest, ARefusedFileKeepsTheListenerOffWithOneLevelZeroLine) {
  struct Case {
    const char* key;
    const char* value;
    std::string line;
  };
  WriteAll(home_.Path("notes.txt"), "PING\n");
  const Case cases[] = {
      {"TLSKEY", "agent.key",
       " TLS listener off: TLSKEY file " + home_.Path("agent.key") +
           " is readable by others than its owner"},
      {"TLSCERT", "missing.pem",
       " TLS listener off: TLSCERT file " + home_.Path("missing.pem") + " is missing"},
      {"TLSCA", "notes.txt",
       " TLS listener off: TLSCA file " + home_.Path("notes.txt") + " holds no PEM certificate"},
      {"TLSCERT", "", " TLS listener off: TLSCERT is not set"},
  };
  for (const Case& c : cases) {
    const common::AgentConfig saved = common::TheAgentConfig();
    common::AgentConfig& config = common::TheAgentConfig();
    if (std::string_view(c.key) == "TLSCERT") config.TlsCert = c.value;
    if (std::string_view(c.key) == "TLSCA") config.TlsCa = c.value;
    chmod(home_.Path("agent.key").c_str(), std::string_view(c.key) == "TLSKEY" ? 0640 : 0600);
    std::filesystem::remove(home_.Path("TarvoAgent.log"));
    EXPECT_EQ(LoadTlsServerContext(), nullptr) << c.line;
    const std::string log = Log();
    EXPECT_EQ(CountLines(log, c.line), 1) << log;
    EXPECT_TRUE(log.ends_with(c.line + "\r\n")) << log;
    common::TheAgentConfig() = saved;
  }
}

TEST_F(TlsSetupTest, NamesTheVerifiedClientAtLevelTwoAndARefusalAtLevelOne) {
  const auto server_context = LoadTlsServerContext();
  ASSERT_NE(server_context, nullptr);
  common::TlsFileProblem problem;
  const auto client_context = common::TlsContext::ForClient(
      {pki_.client.certificate_file, pki_.client.key_file, pki_.ca.files().certificate_file},
      &problem);
  ASSERT_NE(client_context, nullptr);
  common::TlsSession client(*client_context, "localhost");
  common::TlsSession server(*server_context);
  while (client.HasCiphertext() || server.HasCiphertext()) {
    server.FeedCiphertext(client.TakeCiphertext());
    client.FeedCiphertext(server.TakeCiphertext());
  }
  ASSERT_TRUE(server.PeerVerified()) << server.failure_reason();

  common::TheAgentConfig().LogLevel = 1;
  LogTlsAccepted("10.1.2.3", server);
  LogTlsRefused("10.1.2.4", "no client certificate");
  EXPECT_EQ(CountLines(Log(), "TLS connection from 10.1.2.3"), 0);
  EXPECT_EQ(CountLines(Log(), " TLS connection from 10.1.2.4 refused: no client certificate"), 1);
  common::TheAgentConfig().LogLevel = 2;
  LogTlsAccepted("10.1.2.3", server);
  EXPECT_EQ(CountLines(Log(), " TLS connection from 10.1.2.3, client certificate tarvo-admin"), 1)
      << Log();
}

}  // namespace
}  // namespace agent
