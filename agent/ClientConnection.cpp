#include "agent/ClientConnection.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "agent/CommandDispatcher.h"
#include "agent/CommandServer.h"
#include "agent/PipedShell.h"
#include "agent/TlsSetup.h"
#include "common/AgentConfig.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

// The longest request line taken, however it arrives: the bytes before its line
// feed.
constexpr size_t kMaxLineBytes = 1024 * 1024;
constexpr size_t kReceiveChunk = 64 * 1024;
// Bytes of a request traced piece by piece at log level 2.
constexpr size_t kMaxTracedBytes = 4096;
// A line begun and not ended within this time closes its connection: a client
// that trickles bytes must not hold a slot for ever.
constexpr auto kUnfinishedLineLimit = std::chrono::seconds(10);
// Replies that the client does not read: closed after this long without any
// byte taken, or once this much waits.
constexpr auto kUnreadReplyLimit = std::chrono::seconds(30);
constexpr size_t kMaxQueuedBytes = 32u << 20;
constexpr size_t kMaxWriteParts = 16;

int& AnsweringDepth() {
  static int depth = 0;
  return depth;
}

bool LogEnabled(int16_t level) {
  return level <= common::TheAgentConfig().LogLevel;
}

}  // namespace

bool AnsweringRequest() {
  return AnsweringDepth() > 0;
}

void LogServeFailure(std::string_view description) {
  std::string line = common::GeneralDateTextNow();
  line += description;
  line += " Get Socket";
  common::WriteLog(line, 1);
}

ClientConnection::ClientConnection(int socket_fd, std::string peer_address,
                                   const common::TlsContext* tls, Clock::time_point accepted)
    : socket_(socket_fd),
      peer_address_(std::move(peer_address)),
      last_active_(accepted),
      handshake_deadline_(Clock::time_point::max()) {
  if (tls != nullptr) {
    tls_ = std::make_unique<common::TlsSession>(*tls);
    handshake_deadline_ = accepted + kTlsHandshakeTimeout;
    // A TLS connection writes in several steps (handshake flights, session
    // tickets, a reply); none of them may wait for the client's delayed
    // acknowledgement of the one before.
    const int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  }
  TheEventLoop().Add(*this);
}

ClientConnection::~ClientConnection() {
  Close();
}

void ClientConnection::Close() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  TheEventLoop().Remove(*this);
  pending_.clear();
  pending_.shrink_to_fit();
  request_ready_ = false;
  queue_.clear();
  queued_bytes_ = 0;
  front_offset_ = 0;
  tls_.reset();
}

short ClientConnection::WantedEvents() const {
  if (Closed()) return 0;
  short events = 0;
  if (TakesInput()) events |= POLLIN;
  if (QueuedBytes() > 0) events |= POLLOUT;
  return events;
}

bool ClientConnection::TakesInput() const {
  // A connection being answered, holding a request for its turn, closing, or
  // with replies its client has not read yet takes no more input: the kernel
  // keeps it until then. So a client that never reads costs one request's work,
  // not one per request it sends.
  return !busy_ && !request_ready_ && !close_after_flush_ && QueuedBytes() == 0;
}

void ClientConnection::OnReady(short revents) {
  if ((revents & POLLOUT) != 0) Flush();
  if (Closed()) return;
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && TakesInput()) {
    ServeOnce();
  } else if ((revents & (POLLHUP | POLLERR)) != 0 && (revents & POLLOUT) == 0) {
    Close();
  }
}

Clock::time_point ClientConnection::Deadline() const {
  if (Closed()) return Clock::time_point::max();
  // Until its TLS handshake completes, a connection has its time limit too.
  Clock::time_point deadline = handshake_deadline_;
  if (QueuedBytes() > 0) deadline = std::min(deadline, last_progress_ + kUnreadReplyLimit);
  if (!pending_.empty() && !request_ready_ && !busy_) {
    deadline = std::min(deadline, partial_since_ + kUnfinishedLineLimit);
  }
  return deadline;
}

void ClientConnection::OnDeadline() {
  const Clock::time_point now = Clock::now();
  if (now >= handshake_deadline_) {
    LogTlsRefused(peer_address_, kTlsHandshakeTimeoutReason);
    Close();
  } else if (QueuedBytes() > 0 && now >= last_progress_ + kUnreadReplyLimit) {
    LogServeFailure("Reply of " + std::to_string(QueuedBytes()) + " bytes to " + peer_address_ +
                    " not read for " + std::to_string(kUnreadReplyLimit.count()) +
                    " s; connection closed");
    Close();
  } else if (!pending_.empty() && !request_ready_ && !busy_ &&
             now >= partial_since_ + kUnfinishedLineLimit) {
    LogServeFailure("Request line from " + peer_address_ + " not ended within " +
                    std::to_string(kUnfinishedLineLimit.count()) + " s; connection closed");
    Close();
  }
}

void ClientConnection::ServeOnce() {
  if (Closed()) return;
  if (TakesInput() && !ReceiveOnce()) return;
  AnswerIfItsTurn();
}

bool ClientConnection::ReceiveOnce() {
  static char buffer[kReceiveChunk];
  const ssize_t received = recv(socket_, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  const std::string_view bytes(buffer, received > 0 ? static_cast<size_t>(received) : 0);
  if (tls_) return ReceiveTls(bytes);
  if (bytes.empty()) {
    // The client has gone (or the connection broke): its slot is free at once.
    Close();
    return false;
  }
  return TakeIn(bytes);
}

bool ClientConnection::ReceiveTls(std::string_view bytes) {
  if (bytes.empty()) {
    tls_->FeedEnd();
  } else {
    tls_->FeedCiphertext(bytes);
  }
  using State = common::TlsSession::State;
  if (tls_->state() == State::kFailed) {
    // One line names the peer and the reason; the alert that tells the client
    // goes out if the socket takes it at once, and nothing else is awaited.
    LogTlsRefused(peer_address_, tls_->failure_reason());
    const std::string alert = tls_->TakeCiphertext();
    if (QueuedBytes() == 0 && !alert.empty()) {
      send(socket_, alert.data(), alert.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    Close();
    return false;
  }
  // The handshake's answers, session tickets and key updates go out as replies do.
  if (tls_->HasCiphertext() && !Enqueue(tls_->TakeCiphertext())) return false;
  Flush();
  if (Closed()) return false;
  if (tls_->state() == State::kHandshake) return true;
  const bool completed = tls_->state() == State::kOpen || tls_->PeerEnded();
  if (completed && handshake_deadline_ != Clock::time_point::max()) {
    handshake_deadline_ = Clock::time_point::max();
    verified_tls_ = tls_->PeerVerified();
    LogTlsAccepted(peer_address_, *tls_);
  }
  const std::string plaintext = tls_->TakePlaintext();
  if (tls_->state() == State::kClosed) {
    // The client ended the session. What came before its end is answered
    // first, as for a clear-text client that sends its request and closes.
    if (!tls_->PeerEnded() || plaintext.find('\n') == std::string::npos || !TakeIn(plaintext)) {
      Close();
      return false;
    }
    close_after_flush_ = true;
    return true;
  }
  return plaintext.empty() || TakeIn(plaintext);
}

bool ClientConnection::TakeIn(std::string_view piece) {
  if (pending_.empty()) partial_since_ = Clock::now();
  const size_t searched = pending_.size();
  pending_.append(piece);
  if (LogEnabled(2) && searched < kMaxTracedBytes) {
    // What arrived with this read, up to the first 4 KiB of the request, so
    // that a request sent in many pieces costs the log about as much as the
    // request itself (which is logged whole once it is answered).
    const std::string count = std::to_string(piece.size());
    const std::string_view traced = piece.substr(0, kMaxTracedBytes - searched);
    common::WriteLog(" IPADDR-" + count + "-" + count + "-" + trace_mask_.Hide(traced) + "." +
                         std::to_string(piece.size() - 1),
                     2);
  }
  // No line feed came before it, so the first one of this piece ends the line.
  const size_t line_feed = pending_.find('\n', searched);
  const size_t line_length = line_feed == std::string::npos ? pending_.size() : line_feed;
  if (line_length > kMaxLineBytes) {
    LogServeFailure("Request of more than " + std::to_string(kMaxLineBytes) +
                    " bytes without a line feed from " + peer_address_ + "; connection closed");
    Close();
    return false;
  }
  if (line_feed != std::string::npos) {
    request_ready_ = true;
    ready_since_ = Clock::now();
    runs_programs_ =
        RequestRunsPrograms(pending_, CommandContext{slot_, peer_address_, verified_tls_});
  }
  return true;
}

bool ClientConnection::HeldRequestMayRun() const {
  if (Closed() || busy_ || !request_ready_) return false;
  return !runs_programs_ || !ProgramTurnTaken();
}

void ClientConnection::AnswerIfItsTurn() {
  if (HeldRequestMayRun()) Answer();
}

bool ClientConnection::AnswerHeldRequest() {
  if (!HeldRequestMayRun()) return false;
  Answer();
  return true;
}

void ClientConnection::Answer() {
  // The whole text goes to the processor, which answers its complete lines; a
  // piece after the last line feed goes with it.
  const std::string request = std::move(pending_);
  pending_.clear();
  request_ready_ = false;
  trace_mask_ = PasswordPieceMask();
  const CommandContext context{slot_, peer_address_, verified_tls_};
  // A request that runs a program takes the turn for its whole length, so that
  // no other such request starts inside it.
  std::optional<ProgramTurn> turn;
  if (runs_programs_) turn.emplace();
  busy_ = true;
  ++AnsweringDepth();
  CommandReply reply = ProcessCommand(request, context);
  --AnsweringDepth();
  busy_ = false;
  turn.reset();
  last_active_ = Clock::now();
  if (!Closed()) QueueReply(std::move(reply.Text), reply.CloseConnection);
  if (LogEnabled(2)) common::WriteLog(HideTaskPasswords(request) + " Process Cmd", 2);
}

void ClientConnection::QueueReply(std::string text, bool close_after) {
  if (Closed()) return;
  text.insert(text.begin(), '\0');
  if (tls_) {
    // The same bytes inside TLS, in as few records as they fit; after QUIT the
    // session's end (close_notify) follows the reply.
    tls_->SendPlaintext(text);
    if (close_after || close_after_flush_) tls_->Close();
    if (!Enqueue(tls_->TakeCiphertext())) return;
  } else if (!Enqueue(std::move(text))) {
    return;
  }
  close_after_flush_ = close_after_flush_ || close_after;
  Flush();
}

bool ClientConnection::Enqueue(std::string bytes) {
  if (QueuedBytes() + bytes.size() > kMaxQueuedBytes) {
    LogServeFailure("Replies of more than " + std::to_string(kMaxQueuedBytes) +
                    " bytes waiting for " + peer_address_ + "; connection closed");
    Close();
    return false;
  }
  if (bytes.empty()) return true;
  if (QueuedBytes() == 0) last_progress_ = Clock::now();
  queued_bytes_ += bytes.size();
  queue_.push_back(std::move(bytes));
  return true;
}

void ClientConnection::Flush() {
  while (!Closed() && QueuedBytes() > 0) {
    iovec parts[kMaxWriteParts];
    size_t count = 0;
    for (size_t k = 0; k < queue_.size() && count < kMaxWriteParts; ++k) {
      const size_t skip = k == 0 ? front_offset_ : 0;
      parts[count++] = {queue_[k].data() + skip, queue_[k].size() - skip};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t n = sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      if (tls_ && tls_->state() == common::TlsSession::State::kHandshake) {
        LogTlsRefused(peer_address_, "connection lost during the handshake");
      } else {
        LogServeFailure("Reply of " + std::to_string(QueuedBytes()) + " bytes to " +
                        peer_address_ + " not sent; connection closed");
      }
      Close();
      return;
    }
    last_progress_ = Clock::now();
    size_t taken = static_cast<size_t>(n);
    while (taken > 0) {
      const size_t left = queue_.front().size() - front_offset_;
      if (taken < left) {
        front_offset_ += taken;
        break;
      }
      taken -= left;
      queued_bytes_ -= queue_.front().size();
      queue_.pop_front();
      front_offset_ = 0;
    }
  }
  if (!Closed() && close_after_flush_ && QueuedBytes() == 0) Close();
}

}  // namespace agent
