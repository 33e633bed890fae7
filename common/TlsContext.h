#pragma once
// The TLS settings of one side of a connection, made once and shared by every
// session of that side: the certificate and key it shows, the authorities it
// trusts, and the protocol rules (TLS 1.2 at least, the library's default
// secure ciphers, no renegotiation, bounded handshakes, resumable sessions).

#include <openssl/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace common {

// The most a peer may send before its handshake is complete (hellos and
// certificate chain together), and the most certificates a chain may hold
// between the peer's own and a trusted authority.
inline constexpr size_t kMaxTlsHandshakeBytes = 32 * 1024;
inline constexpr int kMaxTlsChainDepth = 5;
// The largest PEM file read.
inline constexpr size_t kMaxTlsFileBytes = 1024 * 1024;

// The PEM files of one side, as paths to open (callers resolve relative names).
struct TlsFiles {
  std::string Certificate;  // the certificate shown, then any intermediate certificates
  std::string Key;          // its private key, without a passphrase
  std::string Authority;    // certificates of the trusted authorities; may be empty
};

// Why a context could not be made: which of the files, and what is wrong with
// it, as a phrase that follows the file's name ("is missing", "holds no PEM
// certificate", "is readable by others than its owner", ...).
struct TlsFileProblem {
  enum class File { kCertificate, kKey, kAuthority };
  File Which = File::kCertificate;
  std::string Path;
  std::string Problem;
};

class TlsContext {
 public:
  // A server side. The certificate and key are required; the key file must be
  // readable by its owner only. With an authority, every client must present
  // a certificate that one of its certificates signed (and the names of those
  // authorities are offered to clients); without one, no client certificate
  // is asked for. Nothing when a file is refused; *problem says why.
  static std::unique_ptr<TlsContext> ForServer(const TlsFiles& files, TlsFileProblem* problem);

  // A client side. The server's certificate is always verified: against the
  // authority file when given, else against the system's trusted authorities.
  // Certificate and key are optional (both or neither). Nothing when a file is
  // refused; *problem says why.
  static std::unique_ptr<TlsContext> ForClient(const TlsFiles& files, TlsFileProblem* problem);

  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* get() const { return context_; }
  bool is_server() const { return server_; }

 private:
  TlsContext(SSL_CTX* context, bool server) : context_(context), server_(server) {}
  // A context with the rules both sides share and nothing loaded yet.
  static std::unique_ptr<TlsContext> Create(bool server, TlsFileProblem* problem);

  SSL_CTX* context_;
  bool server_;
};

}  // namespace common
