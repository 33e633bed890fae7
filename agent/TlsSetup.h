#pragma once
// The TLS side of the command server apart from its sockets: the server
// context made from TLSCERT, TLSKEY and TLSCA, and the log lines of TLS
// connections. Inside TLS the protocol is the clear-text port's, byte for byte.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "common/TlsContext.h"
#include "common/TlsSession.h"

namespace agent {

// A TLS connection whose handshake has not completed in this time is dropped.
inline constexpr auto kTlsHandshakeTimeout = std::chrono::seconds(10);
// The reason logged for it.
inline constexpr std::string_view kTlsHandshakeTimeoutReason = "handshake not finished in 10 s";

// The path a TLSCERT, TLSKEY or TLSCA value names: as written when absolute,
// else in the program folder. Empty for an empty value.
std::string TlsFilePath(std::string_view value);

// The context of the TLS listener. Nothing, without a log line, when TLSPORT
// is absent or 0. Nothing when TLSCERT or TLSKEY is empty or a file is refused
// (missing, not PEM, a key readable by others than its owner, a certificate
// that does not match its key): then one level-0 line names the key and the
// file, and the TLS listener stays off while the clear-text port serves.
std::unique_ptr<common::TlsContext> LoadTlsServerContext();

// The level-1 line of a TLS connection closed before its handshake completed
// or after a TLS failure: the date and time, the peer and the reason.
void LogTlsRefused(std::string_view peer_address, std::string_view reason);

// The level-2 line of a TLS connection whose handshake completed: the peer, and
// the common name of its verified client certificate (or that it showed none).
void LogTlsAccepted(std::string_view peer_address, const common::TlsSession& session);

}  // namespace agent
