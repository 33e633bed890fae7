#pragma once
// One TLS connection without its socket: the caller feeds the bytes that came
// from the peer and sends the bytes the session hands out, so the same session
// serves a non-blocking event loop, a blocking client and a fuzz target.
//
// Driving it: after every FeedCiphertext, FeedEnd, SendPlaintext and Close,
// send what TakeCiphertext returns (it may hold a handshake message, records
// or an alert), then take what TakePlaintext returns. Once state() is kFailed,
// send what TakeCiphertext still holds (the alert) if the socket takes it,
// and close.

#include <openssl/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/TlsContext.h"

// The library's session record, as its own header declares it.
typedef struct ssl_session_st SSL_SESSION;

namespace common {

// A client's saved session, offered to the server to resume it.
using TlsResumption = std::shared_ptr<SSL_SESSION>;

// Why a session failed.
enum class TlsFailure {
  kNone,
  kNotTls,         // the first bytes are not a TLS record (a clear-text peer)
  kNoCertificate,  // a client sent no certificate where one is required
  kUntrusted,      // the peer's certificate does not lead to a trusted authority
  kExpired,        // the peer's certificate has expired
  kNameMismatch,   // the server's certificate does not name the host asked for
  kPeerAlert,      // the peer ended the handshake with an alert
  kTooLarge,       // the peer sent more than kMaxTlsHandshakeBytes before completing
  kRenegotiation,  // the peer asked for a renegotiation
  kClosed,         // the peer closed the connection before the handshake completed
  kOther,          // anything else the library refused
};

class TlsSession {
 public:
  enum class State {
    kHandshake,  // not yet complete
    kOpen,       // application data flows both ways
    kClosed,     // the peer or this side ended the session in order
    kFailed,     // see failure() and failure_reason()
  };

  // A session on the context's side. A client names the host it connects to
  // (a DNS name or an IP address; its certificate must name it, and a DNS name
  // is sent as the server name), may offer a saved session to resume, and has
  // its first handshake message ready at once.
  explicit TlsSession(const TlsContext& context, std::string_view server_host = {},
                      const TlsResumption& resume = {});
  ~TlsSession();
  TlsSession(TlsSession&&) noexcept;
  TlsSession& operator=(TlsSession&&) noexcept;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Bytes received from the peer, in order, in pieces of any size.
  void FeedCiphertext(std::string_view bytes);
  // The peer closed its side: during the handshake a failure (kClosed),
  // afterwards the end of the session.
  void FeedEnd();
  // Application bytes to send; held until the handshake is complete. After
  // the peer's close_notify this side may still answer what came before it,
  // until it closes too.
  void SendPlaintext(std::string_view bytes);
  // Ends the session in order (a close_notify alert to send).
  void Close();

  // The bytes to send to the peer, taken out of the session.
  std::string TakeCiphertext();
  bool HasCiphertext() const;
  // The application bytes received, taken out of the session.
  std::string TakePlaintext();

  State state() const { return state_; }
  // Whether the session ended with the peer's close_notify (state() kClosed)
  // and this side has not closed yet: it may still send.
  bool PeerEnded() const { return peer_ended_ && !ended_here_; }
  TlsFailure failure() const { return failure_; }
  // The failure as a short phrase for a log line or a message ("no client
  // certificate", "certificate not trusted (unable to get local issuer
  // certificate)", "not TLS (a clear-text client?)", ...); empty when none.
  const std::string& failure_reason() const { return failure_reason_; }

  // Whether the peer presented a certificate that verified against the
  // trusted authorities (a server that asks for none never has one).
  bool PeerVerified() const;
  // The common name of the peer certificate's subject, with control
  // characters replaced by '?' and at most 256 bytes; empty when none.
  std::string PeerCommonName() const;
  // Whether the handshake resumed an earlier session.
  bool Resumed() const;
  // A client's session, to offer on a later connection to the same server;
  // empty when the server gave none that can be resumed.
  TlsResumption SavedSession() const;

 private:
  struct Watch;

  bool Writable() const { return state_ == State::kOpen || PeerEnded(); }
  void Advance();
  void ReadRecords();
  void WritePending();
  void DrainOutgoing();
  void Fail(TlsFailure failure, std::string reason);
  void FailFromLibrary(int ssl_error);

  SSL* ssl_ = nullptr;
  BIO* incoming_ = nullptr;  // owned by ssl_
  BIO* outgoing_ = nullptr;  // owned by ssl_
  std::unique_ptr<Watch> watch_;
  bool server_ = false;
  State state_ = State::kHandshake;
  bool peer_ended_ = false;  // the peer's close_notify came
  bool ended_here_ = false;  // Close() was called
  TlsFailure failure_ = TlsFailure::kNone;
  std::string failure_reason_;
  size_t handshake_bytes_ = 0;
  std::string plaintext_in_;
  std::string plaintext_out_;
  std::string ciphertext_out_;
};

}  // namespace common
