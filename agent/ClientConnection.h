#pragma once
// One client connection of the command port or the TLS port: what it has sent
// and not yet had answered, the replies queued for it, its times, and on the
// TLS port its TLS session. Its socket is watched by the agent's loop; it reads
// what arrives, hands each complete request to the command processor when its
// turn comes, and writes the queued replies as the socket takes them, so that a
// client that reads slowly (or never) holds no one else. Inside TLS everything
// but the socket's bytes is the same: the session turns what arrives into the
// request text, and each reply into the bytes queued.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "agent/CommandTypes.h"
#include "agent/EventLoop.h"
#include "agent/TaskFile.h"
#include "common/TlsContext.h"
#include "common/TlsSession.h"

namespace agent {

class ClientConnection final : public Watcher {
 public:
  // Takes the connected socket (non-blocking), accepted at that time, and
  // starts watching it; it counts as idle from then on. With a TLS context the
  // client speaks TLS, and its handshake must complete within
  // kTlsHandshakeTimeout of being accepted.
  ClientConnection(int socket_fd, std::string peer_address,
                   const common::TlsContext* tls = nullptr,
                   Clock::time_point accepted = Clock::now());
  ~ClientConnection() override;

  int Descriptor() const override { return socket_; }
  short WantedEvents() const override;
  void OnReady(short revents) override;
  Clock::time_point Deadline() const override;
  void OnDeadline() override;

  // Receives once (when it may take input now) and answers a complete request
  // whose turn it is: one visit of the polling cycle.
  void ServeOnce();
  // Answers the complete request that was held for its turn, if it may run now.
  // Returns whether one was answered.
  bool AnswerHeldRequest();

  // Queues one reply: a zero byte and the text, written as the socket takes it.
  // Closes the connection once it is written when close_after is set.
  void QueueReply(std::string text, bool close_after);

  // Closes the socket and stops watching it; the record stays until released.
  void Close();

  bool Closed() const { return socket_ < 0; }
  // A request of it is being answered now (its record must stay).
  bool Busy() const { return busy_; }
  // It holds a complete request not yet answered (or is being answered).
  bool Waiting() const { return busy_ || request_ready_; }
  // When it last had a complete request answered (or was accepted); bytes
  // that end no line do not count, nor does a TLS handshake.
  Clock::time_point LastActive() const { return last_active_; }
  // When its complete request came in, for answering held requests in order.
  Clock::time_point ReadySince() const { return ready_since_; }
  const std::string& PeerAddress() const { return peer_address_; }
  // Whether the held request may run now (a request that runs a program waits
  // while another program runs).
  bool HeldRequestMayRun() const;

  // The slot number requests of this connection carry (1-based).
  void SetSlot(int slot) { slot_ = slot; }

 private:
  // Whether it reads input now.
  bool TakesInput() const;
  // One receive from the socket; returns false when the connection was closed
  // by it.
  bool ReceiveOnce();
  // What one receive brought on the TLS port (empty: the client closed): fed
  // to the session, its answer queued, and the request text it yields taken
  // in. Returns false when the connection was closed by it.
  bool ReceiveTls(std::string_view bytes);
  // A piece of request text: traced, added to what waits, and checked for a
  // whole line. Returns false when the connection was closed by it.
  bool TakeIn(std::string_view piece);
  // Answers the complete request if its turn has come.
  void AnswerIfItsTurn();
  void Answer();
  // Queues bytes to write, unless more than kMaxQueuedBytes would then wait:
  // that closes the connection with its log line. Returns whether queued.
  bool Enqueue(std::string bytes);
  // Writes queued bytes until the socket takes no more.
  void Flush();
  size_t QueuedBytes() const { return queued_bytes_ - front_offset_; }

  int socket_;
  std::string peer_address_;
  int slot_ = 0;
  std::string pending_;                 // received, not yet answered
  bool request_ready_ = false;          // pending_ holds a line feed
  bool runs_programs_ = false;          // that request runs a program
  Clock::time_point ready_since_;       // when that line feed came
  Clock::time_point partial_since_;     // first byte of an unfinished line
  Clock::time_point last_active_;
  PasswordPieceMask trace_mask_;        // for the trace of each piece received
  bool busy_ = false;
  bool close_after_flush_ = false;
  std::deque<std::string> queue_;       // replies not yet written
  size_t queued_bytes_ = 0;             // bytes in queue_
  size_t front_offset_ = 0;             // bytes of queue_.front() already written
  Clock::time_point last_progress_;     // last write that took bytes (or first queued)
  std::unique_ptr<common::TlsSession> tls_;  // on the TLS port; released on Close
  Clock::time_point handshake_deadline_;     // for tls_ to complete its handshake
  bool verified_tls_ = false;                // tls_ completed with a verified client certificate
};

}  // namespace agent
