#include "agent/RemoteClients.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

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

namespace {

void LogGatedWordIgnored(std::string_view word, std::string_view peer_address,
                         std::string_view why) {
  common::WriteLog(common::GeneralDateTextNow() + " " + std::string(word) + " from " +
                       std::string(peer_address) + " ignored: " + std::string(why),
                   1);
}

}  // namespace

void LogRemoteClientRefused(std::string_view word, std::string_view peer_address) {
  LogGatedWordIgnored(word, peer_address, "address not in REMOTECLIENTS");
}

bool IsLocalMachineAddress(std::string_view peer_address) {
  in_addr peer{};
  if (inet_pton(AF_INET, std::string(peer_address).c_str(), &peer) != 1) return false;
  if ((ntohl(peer.s_addr) >> 24) == 127) return true;
  // A client on this machine that connects to one of its own interface
  // addresses arrives from that address.
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool local = false;
  for (const ifaddrs* entry = interfaces; entry != nullptr && !local; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    local = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == peer.s_addr;
  }
  freeifaddrs(interfaces);
  return local;
}

GateState GatedWordGate(const CommandContext& context) {
  const common::AgentConfig& config = common::TheAgentConfig();
  if (!config.AllowRemoteExec) return GateState::kRemoteExecutionOff;
  if (!RemoteClientAllowed(context.PeerAddress, config.RemoteClientList)) {
    return GateState::kAddressNotListed;
  }
  if (config.ExecRequiresTls && !context.VerifiedTls &&
      !IsLocalMachineAddress(context.PeerAddress)) {
    return GateState::kTlsRequired;
  }
  return GateState::kOpen;
}

bool GatedWordAllowed(std::string_view word, const CommandContext& context) {
  switch (GatedWordGate(context)) {
    case GateState::kOpen:
      return true;
    case GateState::kRemoteExecutionOff:
      return false;
    case GateState::kAddressNotListed:
      LogRemoteClientRefused(word, context.PeerAddress);
      return false;
    case GateState::kTlsRequired:
      LogGatedWordIgnored(word, context.PeerAddress,
                          "EXECREQUIRESTLS needs TLS with a verified client certificate");
      return false;
  }
  return false;
}

}  // namespace agent
