#include "agent/RemoteClients.h"

#include "common/AgentConfig.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {

bool RemoteClientAllowed(std::string_view peer_address,
                         const std::vector<std::string>& remote_client_list) {
  if (peer_address.empty()) return false;
  for (const std::string& listed : remote_client_list) {
    const std::string_view entry = common::TrimBlanks(listed);
    if (entry.empty() || !peer_address.starts_with(entry)) continue;
    // A prefix counts only up to a dot, so that "10.1" covers 10.1.x.y but not 10.10.x.y.
    if (peer_address.size() == entry.size() || peer_address[entry.size()] == '.') return true;
  }
  return false;
}

void LogRemoteClientRefused(std::string_view word, std::string_view peer_address) {
  common::WriteLog(common::GeneralDateTextNow() + " " + std::string(word) + " from " +
                       std::string(peer_address) + " ignored: address not in REMOTECLIENTS",
                   1);
}

bool GatedWordAllowed(std::string_view word, const CommandContext& context) {
  const common::AgentConfig& config = common::TheAgentConfig();
  if (!config.AllowRemoteExec) return false;
  if (RemoteClientAllowed(context.PeerAddress, config.RemoteClientList)) return true;
  LogRemoteClientRefused(word, context.PeerAddress);
  return false;
}

}  // namespace agent
