#pragma once
// Which clients may run programs and steer services: the words that remote
// execution gates (EXEC, EXETASK, SERVICE_START, SERVICE_STOP) are acted on only
// for a peer whose address REMOTECLIENTS lists and, with EXECREQUIRESTLS, only
// over TLS with a verified client certificate or from the local machine.

#include <string>
#include <string_view>
#include <vector>

#include "agent/CommandTypes.h"

namespace agent {

// Whether the dotted IPv4 address matches an entry of the list: an entry
// matches an address equal to it, or an address that begins with the entry
// followed by a dot ("127.0.0" matches 127.0.0.x, "10.1" matches 10.1.x.y).
// Blanks around an entry are ignored; an empty entry matches nothing, and an
// empty address matches no entry.
bool RemoteClientAllowed(std::string_view peer_address,
                         const std::vector<std::string>& remote_client_list);

// The level-1 log line for a gated word that was skipped because the address
// is not in REMOTECLIENTS: the date and time, the word and the address.
void LogRemoteClientRefused(std::string_view word, std::string_view peer_address);

// Whether the dotted IPv4 address is one of this machine's: a loopback address
// (127.x.y.z) or an address of one of its interfaces.
bool IsLocalMachineAddress(std::string_view peer_address);

// Whether the gated words of a request from this peer are acted on, and when
// not, which rule holds them back.
enum class GateState {
  kOpen,
  kRemoteExecutionOff,  // ALLOWREMOTEEXEC is off
  kAddressNotListed,    // the peer's address is not in REMOTECLIENTS
  kTlsRequired,         // EXECREQUIRESTLS, and neither verified TLS nor this machine
};
GateState GatedWordGate(const CommandContext& context);

// The gate of one gated word on one line: true when GatedWordGate is open. A
// peer held back by REMOTECLIENTS or by EXECREQUIRESTLS gets one level-1 log
// line; with remote execution off nothing is logged.
bool GatedWordAllowed(std::string_view word, const CommandContext& context);

}  // namespace agent
