#include "agent/TlsSetup.h"

#include "common/AgentConfig.h"
#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

using File = common::TlsFileProblem::File;

void LogTlsOff(const std::string& problem) {
  common::WriteLog(common::GeneralDateTextNow() + " TLS listener off: " + problem, 0);
}

std::string_view KeyOf(File file) {
  switch (file) {
    case File::kCertificate:
      return "TLSCERT";
    case File::kKey:
      return "TLSKEY";
    case File::kAuthority:
      return "TLSCA";
  }
  return "";
}

}  // namespace

std::string TlsFilePath(std::string_view value) {
  if (value.empty() || value.front() == '/') return std::string(value);
  return common::ProgramPath(value);
}

std::unique_ptr<common::TlsContext> LoadTlsServerContext() {
  const common::AgentConfig& config = common::TheAgentConfig();
  if (config.TlsPort == 0) return nullptr;
  for (const auto& [key, value] :
       {std::pair{"TLSCERT", &config.TlsCert}, std::pair{"TLSKEY", &config.TlsKey}}) {
    if (value->empty()) {
      LogTlsOff(std::string(key) + " is not set");
      return nullptr;
    }
  }
  const common::TlsFiles files{TlsFilePath(config.TlsCert), TlsFilePath(config.TlsKey),
                               TlsFilePath(config.TlsCa)};
  common::TlsFileProblem problem;
  std::unique_ptr<common::TlsContext> context = common::TlsContext::ForServer(files, &problem);
  if (!context) {
    LogTlsOff(std::string(KeyOf(problem.Which)) + " file " + problem.Path + " " + problem.Problem);
  }
  return context;
}

void LogTlsRefused(std::string_view peer_address, std::string_view reason) {
  common::WriteLog(common::GeneralDateTextNow() + " TLS connection from " +
                       std::string(peer_address) + " refused: " + std::string(reason),
                   1);
}

void LogTlsAccepted(std::string_view peer_address, const common::TlsSession& session) {
  std::string line =
      common::GeneralDateTextNow() + " TLS connection from " + std::string(peer_address);
  line += session.PeerVerified() ? ", client certificate " + session.PeerCommonName()
                                 : ", no client certificate";
  if (session.Resumed()) line += ", resumed";
  common::WriteLog(line, 2);
}

}  // namespace agent
