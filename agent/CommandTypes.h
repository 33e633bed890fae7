#pragma once
// The types shared by the command dispatcher, its handlers and the command
// server: who sent a request, one line of it, what a handler yields, and the
// reply to the whole request.

#include <string>
#include <string_view>
#include <utility>

namespace agent {

// Where a request came from.
struct CommandContext {
  int Slot = 0;              // connection slot, 1-based
  std::string PeerAddress;   // the client's IPv4 address, dotted
  bool VerifiedTls = false;  // came over TLS from a client whose certificate verified
};

// The reply to one request.
struct CommandReply {
  std::string Text;              // the last reply a handler yielded; empty when none
  bool CloseConnection = false;  // set by QUIT: close after sending Text
};

// One line of a request as the dispatcher hands it to a handler.
struct RequestLine {
  std::string_view Received;  // as received, without its line feed
  std::string_view Upper;     // its upper-case copy
  const CommandContext& Context;
};

// What a handler yields: a reply that replaces the request's reply text, no
// reply, or a failure that ends the whole request.
class HandlerResult {
 public:
  enum class Kind { kNoReply, kReply, kFailure };

  static HandlerResult NoReply() { return HandlerResult(Kind::kNoReply, {}); }
  static HandlerResult Reply(std::string text) {
    return HandlerResult(Kind::kReply, std::move(text));
  }
  // description: the failure as the log line names it.
  static HandlerResult Failure(std::string description) {
    return HandlerResult(Kind::kFailure, std::move(description));
  }
  // The failure of an argument word or field that the line does not hold, as an
  // index past the end of a split text reports it.
  static HandlerResult MissingPart() { return Failure("Subscript out of range"); }

  Kind kind() const { return kind_; }
  // The reply text, or the failure's description.
  const std::string& text() const { return text_; }
  std::string TakeText() { return std::move(text_); }

 private:
  HandlerResult(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
};

}  // namespace agent
