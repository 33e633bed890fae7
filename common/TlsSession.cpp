#include "common/TlsSession.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <utility>

namespace common {
namespace {

// Pieces in which bytes pass through the session's memory buffers, so that
// neither buffer grows past about this much whatever the caller hands over.
constexpr size_t kPieceBytes = 16 * 1024;
constexpr size_t kMaxCommonNameBytes = 256;
// The first byte of a TLS record that carries a handshake message, and of one
// that carries an alert.
constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kAlertRecord = 21;

// The name of an alert, also for those of TLS 1.3 the library does not name.
std::string AlertName(int description) {
  if (description == TLS13_AD_CERTIFICATE_REQUIRED) return "certificate required";
  const std::string name = SSL_alert_desc_string_long(description);
  return name == "unknown" ? "alert " + std::to_string(description) : name;
}

bool IsAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

// What the library reports through its callback while it works: the alerts
// that passed. Kept apart from the session so that the session may move.
struct TlsSession::Watch {
  bool renegotiation = false;
  int peer_alert = -1;  // the fatal alert received, when one was

  static void OnInfo(const SSL* ssl, int where, int value) {
    auto* watch = static_cast<Watch*>(SSL_get_app_data(ssl));
    if (watch == nullptr) return;
    const int level = value >> 8;
    const int description = value & 0xff;
    if ((where & SSL_CB_READ_ALERT) != 0 && level == SSL3_AL_FATAL) watch->peer_alert = description;
    // The library answers a renegotiation request with this alert, on either
    // side, instead of renegotiating.
    if ((where & SSL_CB_WRITE_ALERT) != 0 && description == SSL_AD_NO_RENEGOTIATION) {
      watch->renegotiation = true;
    }
  }
};

TlsSession::TlsSession(const TlsContext& context, std::string_view server_host,
                       const TlsResumption& resume)
    : watch_(std::make_unique<Watch>()), server_(context.is_server()) {
  ssl_ = SSL_new(context.get());
  incoming_ = BIO_new(BIO_s_mem());
  outgoing_ = BIO_new(BIO_s_mem());
  if (ssl_ == nullptr || incoming_ == nullptr || outgoing_ == nullptr) {
    BIO_free(incoming_);
    BIO_free(outgoing_);
    incoming_ = outgoing_ = nullptr;
    FailFromLibrary(SSL_ERROR_SSL);
    return;
  }
  SSL_set_bio(ssl_, incoming_, outgoing_);
  SSL_set_app_data(ssl_, watch_.get());
  SSL_set_info_callback(ssl_, Watch::OnInfo);
  if (server_) {
    SSL_set_accept_state(ssl_);
    return;
  }
  SSL_set_connect_state(ssl_);
  const std::string host(server_host);
  if (!host.empty() && IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
  } else if (!host.empty()) {
    SSL_set1_host(ssl_, host.c_str());
    SSL_set_tlsext_host_name(ssl_, host.c_str());
  }
  if (resume) SSL_set_session(ssl_, resume.get());
  Advance();
}

TlsSession::~TlsSession() {
  if (ssl_ != nullptr) SSL_free(ssl_);  // frees both memory buffers
}

TlsSession::TlsSession(TlsSession&& other) noexcept
    : ssl_(std::exchange(other.ssl_, nullptr)),
      incoming_(std::exchange(other.incoming_, nullptr)),
      outgoing_(std::exchange(other.outgoing_, nullptr)),
      watch_(std::move(other.watch_)),
      server_(other.server_),
      state_(other.state_),
      peer_ended_(other.peer_ended_),
      ended_here_(other.ended_here_),
      failure_(other.failure_),
      failure_reason_(std::move(other.failure_reason_)),
      handshake_bytes_(other.handshake_bytes_),
      plaintext_in_(std::move(other.plaintext_in_)),
      plaintext_out_(std::move(other.plaintext_out_)),
      ciphertext_out_(std::move(other.ciphertext_out_)) {}

TlsSession& TlsSession::operator=(TlsSession&& other) noexcept {
  if (this != &other) {
    TlsSession moved(std::move(other));
    std::swap(ssl_, moved.ssl_);
    std::swap(incoming_, moved.incoming_);
    std::swap(outgoing_, moved.outgoing_);
    std::swap(watch_, moved.watch_);
    server_ = moved.server_;
    state_ = moved.state_;
    peer_ended_ = moved.peer_ended_;
    ended_here_ = moved.ended_here_;
    failure_ = moved.failure_;
    failure_reason_ = std::move(moved.failure_reason_);
    handshake_bytes_ = moved.handshake_bytes_;
    plaintext_in_ = std::move(moved.plaintext_in_);
    plaintext_out_ = std::move(moved.plaintext_out_);
    ciphertext_out_ = std::move(moved.ciphertext_out_);
  }
  return *this;
}

void TlsSession::FeedCiphertext(std::string_view bytes) {
  while (!bytes.empty() && (state_ == State::kHandshake || state_ == State::kOpen)) {
    if (state_ == State::kHandshake) {
      if (handshake_bytes_ == 0) {
        // A client that speaks clear text, or a scanner, gets a clear reason.
        const auto first = static_cast<unsigned char>(bytes.front());
        if (first != kHandshakeRecord && (server_ || first != kAlertRecord)) {
          Fail(TlsFailure::kNotTls,
               server_ ? "not TLS (a clear-text client?)" : "not TLS (a clear-text server?)");
          return;
        }
      }
      handshake_bytes_ += bytes.size() < kPieceBytes ? bytes.size() : kPieceBytes;
      if (handshake_bytes_ > kMaxTlsHandshakeBytes) {
        Fail(TlsFailure::kTooLarge,
             "handshake larger than " + std::to_string(kMaxTlsHandshakeBytes) + " bytes");
        return;
      }
    }
    const std::string_view piece = bytes.substr(0, kPieceBytes);
    bytes.remove_prefix(piece.size());
    BIO_write(incoming_, piece.data(), static_cast<int>(piece.size()));
    Advance();
  }
}

void TlsSession::FeedEnd() {
  if (state_ == State::kHandshake) {
    Fail(TlsFailure::kClosed, "connection closed during the handshake");
  } else if (state_ == State::kOpen) {
    state_ = State::kClosed;
  }
}

void TlsSession::SendPlaintext(std::string_view bytes) {
  if (state_ != State::kHandshake && !Writable()) return;
  plaintext_out_.append(bytes);
  if (Writable()) WritePending();
}

void TlsSession::Close() {
  if (Writable()) {
    WritePending();
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
    DrainOutgoing();
  }
  if (state_ == State::kHandshake || state_ == State::kOpen) state_ = State::kClosed;
  ended_here_ = true;
}

std::string TlsSession::TakeCiphertext() {
  return std::exchange(ciphertext_out_, {});
}

bool TlsSession::HasCiphertext() const {
  return !ciphertext_out_.empty();
}

std::string TlsSession::TakePlaintext() {
  return std::exchange(plaintext_in_, {});
}

bool TlsSession::PeerVerified() const {
  if (state_ != State::kOpen && state_ != State::kClosed) return false;
  return SSL_get0_peer_certificate(ssl_) != nullptr && SSL_get_verify_result(ssl_) == X509_V_OK;
}

std::string TlsSession::PeerCommonName() const {
  if (ssl_ == nullptr) return {};
  X509* peer = SSL_get0_peer_certificate(ssl_);
  if (peer == nullptr) return {};
  X509_NAME* subject = X509_get_subject_name(peer);
  const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return {};
  unsigned char* utf8 = nullptr;
  const int length =
      ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  if (length < 0) return {};
  std::string name(reinterpret_cast<const char*>(utf8),
                   std::min(static_cast<size_t>(length), kMaxCommonNameBytes));
  OPENSSL_free(utf8);
  // The name goes into log lines: no line ends or other control characters.
  std::replace_if(
      name.begin(), name.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
  return name;
}

bool TlsSession::Resumed() const {
  return ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

TlsResumption TlsSession::SavedSession() const {
  if (ssl_ == nullptr || server_) return {};
  // A copy: the library marks the session itself unusable when the
  // connection ends without this side's close_notify.
  SSL_SESSION* current = SSL_get0_session(ssl_);
  if (current == nullptr || SSL_SESSION_is_resumable(current) != 1) return {};
  SSL_SESSION* copy = SSL_SESSION_dup(current);
  if (copy == nullptr) return {};
  return TlsResumption(copy, SSL_SESSION_free);
}

void TlsSession::Advance() {
  if (state_ == State::kHandshake) {
    ERR_clear_error();
    const int done = SSL_do_handshake(ssl_);
    DrainOutgoing();
    if (done != 1) {
      const int error = SSL_get_error(ssl_, done);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) FailFromLibrary(error);
      return;
    }
    state_ = State::kOpen;
  }
  if (state_ == State::kOpen) ReadRecords();
  if (state_ == State::kOpen) WritePending();
}

void TlsSession::ReadRecords() {
  char buffer[kPieceBytes];
  while (state_ == State::kOpen) {
    ERR_clear_error();
    size_t read = 0;
    const int result = SSL_read_ex(ssl_, buffer, sizeof(buffer), &read);
    DrainOutgoing();
    if (watch_->renegotiation) {
      Fail(TlsFailure::kRenegotiation, "renegotiation refused");
      return;
    }
    if (result == 1) {
      plaintext_in_.append(buffer, read);
      // Nothing more to read until the peer sends more: another read would
      // only tell so, at the cost of a pass through the record layer.
      if (SSL_has_pending(ssl_) == 0 && BIO_ctrl_pending(incoming_) == 0) return;
      continue;
    }
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
    if (error == SSL_ERROR_ZERO_RETURN) {
      state_ = State::kClosed;  // the peer's close_notify
      peer_ended_ = true;
      return;
    }
    FailFromLibrary(error);
  }
}

void TlsSession::WritePending() {
  // In pieces, each taken out of the memory buffer before the next; what was
  // written leaves plaintext_out_ once at the end, so a long reply is moved
  // once rather than once per piece.
  size_t done = 0;
  while (Writable() && done < plaintext_out_.size()) {
    const size_t piece = std::min(plaintext_out_.size() - done, kPieceBytes);
    ERR_clear_error();
    size_t written = 0;
    const int result = SSL_write_ex(ssl_, plaintext_out_.data() + done, piece, &written);
    DrainOutgoing();
    if (result != 1) {
      const int error = SSL_get_error(ssl_, result);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) FailFromLibrary(error);
      break;
    }
    done += written;
  }
  if (state_ == State::kFailed) return;  // Fail cleared what was left
  plaintext_out_.erase(0, done);
  if (plaintext_out_.empty()) plaintext_out_.shrink_to_fit();
}

void TlsSession::DrainOutgoing() {
  if (outgoing_ == nullptr) return;
  const size_t pending = BIO_ctrl_pending(outgoing_);
  if (pending == 0) return;
  const size_t start = ciphertext_out_.size();
  ciphertext_out_.resize(start + pending);
  const int read = BIO_read(outgoing_, ciphertext_out_.data() + start, static_cast<int>(pending));
  ciphertext_out_.resize(start + static_cast<size_t>(std::max(read, 0)));
}

void TlsSession::Fail(TlsFailure failure, std::string reason) {
  state_ = State::kFailed;
  failure_ = failure;
  failure_reason_ = std::move(reason);
  plaintext_out_.clear();
}

void TlsSession::FailFromLibrary(int ssl_error) {
  const long verify = ssl_ != nullptr ? SSL_get_verify_result(ssl_) : X509_V_OK;
  const unsigned long error = ERR_peek_error();
  const int reason = ERR_GET_REASON(error);
  if (verify == X509_V_ERR_CERT_HAS_EXPIRED) {
    Fail(TlsFailure::kExpired, "certificate expired");
  } else if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
    Fail(TlsFailure::kNameMismatch, "certificate does not name the host");
  } else if (verify != X509_V_OK) {
    Fail(TlsFailure::kUntrusted,
         std::string("certificate not trusted (") + X509_verify_cert_error_string(verify) + ")");
  } else if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    Fail(TlsFailure::kNoCertificate, "no client certificate");
  } else if (watch_ && watch_->peer_alert >= 0) {
    Fail(TlsFailure::kPeerAlert, "alert from the peer: " + AlertName(watch_->peer_alert));
  } else if (reason == SSL_R_EXCESSIVE_MESSAGE_SIZE) {
    Fail(TlsFailure::kTooLarge, "handshake message too large");
  } else if (ssl_error == SSL_ERROR_ZERO_RETURN) {
    Fail(TlsFailure::kClosed, "connection closed during the handshake");
  } else {
    const char* text = ERR_reason_error_string(error);
    Fail(TlsFailure::kOther,
         std::string("TLS error: ") + (text != nullptr ? text : "code " + std::to_string(error)));
  }
  ERR_clear_error();
}

}  // namespace common
