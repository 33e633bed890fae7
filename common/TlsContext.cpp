#include "common/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/TextUtil.h"
#include "common/TlsPointers.h"
#include "platform/FileAccess.h"

namespace common {
namespace {

using File = TlsFileProblem::File;

// Sessions resumed by this server are told apart from another program's.
constexpr std::string_view kSessionContext = "AgentTarvoService";
// Resumable sessions kept by a server; each holds a few hundred bytes.
constexpr long kSessionCacheSize = 1024;

using Certificate = TlsCertificate;

// A key behind a passphrase is refused, never asked for: a service has no one
// to type it, and the library would otherwise prompt on the terminal.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

// The library's reason for the last failure, for a problem text.
std::string LibraryReason() {
  const unsigned long error = ERR_peek_last_error();
  const char* reason = ERR_reason_error_string(error);
  ERR_clear_error();
  return reason != nullptr ? reason : "error " + std::to_string(error);
}

class FileLoader {
 public:
  explicit FileLoader(TlsFileProblem* problem) : problem_(problem) {}

  // The bytes of a PEM file: a regular file of bounded size; with owner_only,
  // one that neither its group nor others may read.
  std::optional<std::string> Read(File which, const std::string& path, bool owner_only) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
      return Refuse(which, path,
                    errno == ENOENT ? "is missing" : "cannot be read: " + ErrnoText(errno));
    }
    if (!S_ISREG(info.st_mode)) return Refuse(which, path, "is not a regular file");
    if (owner_only && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
      return Refuse(which, path, "is readable by others than its owner");
    }
    if (static_cast<size_t>(info.st_size) > kMaxTlsFileBytes) {
      return Refuse(which, path, "is larger than " + std::to_string(kMaxTlsFileBytes) + " bytes");
    }
    std::string bytes;
    if (const int error = platform::ReadRegularFile(path, kMaxTlsFileBytes, bytes)) {
      return Refuse(which, path, "cannot be read: " + ErrnoText(error));
    }
    return bytes;
  }

  // Every certificate of a PEM text, in order.
  std::vector<Certificate> Certificates(std::string_view pem) {
    std::vector<Certificate> all;
    const TlsBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (bio) {
      Certificate certificate(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr));
      if (!certificate) break;
      all.push_back(std::move(certificate));
    }
    ERR_clear_error();  // the end of the text reads as "no start line"
    return all;
  }

  std::nullopt_t Refuse(File which, const std::string& path, std::string problem) {
    if (problem_ != nullptr) *problem_ = TlsFileProblem{which, path, std::move(problem)};
    return std::nullopt;
  }

 private:
  static std::string ErrnoText(int error) { return std::strerror(error); }

  TlsFileProblem* problem_;
};

// The certificate (and chain) and key of this side, checked to belong together.
bool UseIdentity(SSL_CTX* context, const TlsFiles& files, bool owner_only_key, FileLoader& loader) {
  const std::optional<std::string> certificate_pem =
      loader.Read(File::kCertificate, files.Certificate, false);
  if (!certificate_pem) return false;
  const std::optional<std::string> key_pem = loader.Read(File::kKey, files.Key, owner_only_key);
  if (!key_pem) return false;

  std::vector<Certificate> chain = loader.Certificates(*certificate_pem);
  if (chain.empty()) {
    loader.Refuse(File::kCertificate, files.Certificate, "holds no PEM certificate");
    return false;
  }
  if (SSL_CTX_use_certificate(context, chain.front().get()) != 1) {
    loader.Refuse(File::kCertificate, files.Certificate, "cannot be used: " + LibraryReason());
    return false;
  }
  for (size_t k = 1; k < chain.size(); ++k) {
    // add0 takes the certificate over only when it succeeds.
    if (SSL_CTX_add0_chain_cert(context, chain[k].get()) == 1) chain[k].release();
  }

  const TlsBio bio(BIO_new_mem_buf(key_pem->data(), static_cast<int>(key_pem->size())));
  const TlsKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr)
                       : nullptr);
  if (!key) {
    ERR_clear_error();
    loader.Refuse(File::kKey, files.Key, "holds no PEM private key without a passphrase");
    return false;
  }
  if (SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    loader.Refuse(File::kKey, files.Key, "does not match the certificate of " + files.Certificate);
    return false;
  }
  return true;
}

// The trusted authorities. A server also offers their names to its clients, so
// that a client holding several certificates picks the right one.
bool UseAuthority(SSL_CTX* context, const std::string& path, bool server, FileLoader& loader) {
  const std::optional<std::string> pem = loader.Read(File::kAuthority, path, false);
  if (!pem) return false;
  const std::vector<Certificate> authorities = loader.Certificates(*pem);
  if (authorities.empty()) {
    loader.Refuse(File::kAuthority, path, "holds no PEM certificate");
    return false;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  for (const Certificate& authority : authorities) {
    // The same authority twice in a bundle is no fault.
    X509_STORE_add_cert(store, authority.get());
    if (server) SSL_CTX_add_client_CA(context, authority.get());
  }
  ERR_clear_error();
  return true;
}

// The rules both sides share.
SSL_CTX* NewContext(bool server) {
  SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Renegotiation only costs the peer's handshakes again on a live connection.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  // Idle connections give their read and write buffers back. The chain sent is
  // the certificate file's, not one built from the trusted authorities.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN);
  SSL_CTX_set_max_cert_list(context, static_cast<long>(kMaxTlsHandshakeBytes));
  SSL_CTX_set_verify_depth(context, kMaxTlsChainDepth);
  return context;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::Create(bool server, TlsFileProblem* problem) {
  SSL_CTX* context = NewContext(server);
  if (context != nullptr) return std::unique_ptr<TlsContext>(new TlsContext(context, server));
  FileLoader(problem).Refuse(File::kCertificate, "", "cannot be used: " + LibraryReason());
  return nullptr;
}

std::unique_ptr<TlsContext> TlsContext::ForServer(const TlsFiles& files, TlsFileProblem* problem) {
  FileLoader loader(problem);
  std::unique_ptr<TlsContext> made = Create(true, problem);
  if (!made) return nullptr;
  SSL_CTX* context = made->get();
  if (!UseIdentity(context, files, /*owner_only_key=*/true, loader)) return nullptr;
  if (!files.Authority.empty()) {
    if (!UseAuthority(context, files.Authority, true, loader)) return nullptr;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  // Resumption by ticket (the default) or from the session cache; both need the
  // context named when client certificates are verified.
  SSL_CTX_set_session_id_context(context,
                                 reinterpret_cast<const unsigned char*>(kSessionContext.data()),
                                 static_cast<unsigned int>(kSessionContext.size()));
  SSL_CTX_sess_set_cache_size(context, kSessionCacheSize);
  // One ticket per handshake: a client resumes with one (tarvo-get offers the
  // first connection's), and each further ticket is a session encrypted for
  // nothing on the agent's thread.
  SSL_CTX_set_num_tickets(context, 1);
  return made;
}

std::unique_ptr<TlsContext> TlsContext::ForClient(const TlsFiles& files, TlsFileProblem* problem) {
  FileLoader loader(problem);
  std::unique_ptr<TlsContext> made = Create(false, problem);
  if (!made) return nullptr;
  SSL_CTX* context = made->get();
  if (!files.Certificate.empty() || !files.Key.empty()) {
    if (!UseIdentity(context, files, /*owner_only_key=*/false, loader)) return nullptr;
  }
  if (files.Authority.empty()) {
    SSL_CTX_set_default_verify_paths(context);
  } else if (!UseAuthority(context, files.Authority, false, loader)) {
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  return made;
}

TlsContext::~TlsContext() {
  SSL_CTX_free(context_);
}

}  // namespace common
