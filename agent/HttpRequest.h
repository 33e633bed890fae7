#pragma once
// The head of an HTTP/1.x request as the metrics endpoint reads it: the
// request line and the header fields, parsed strictly from a byte buffer (no
// sockets). Only what a GET or HEAD without a body needs is accepted; a
// request with a body is recognised so that it can be refused.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agent {

// The most bytes a request head (request line, header fields and the empty
// line that ends them) may take.
inline constexpr size_t kMaxRequestHeadBytes = 8192;

struct HttpRequest {
  std::string Method;          // as sent (methods are case-sensitive)
  std::string Path;            // the target's path: no query, no scheme or host
  int MinorVersion = 1;        // HTTP/1.0 or HTTP/1.1
  bool KeepAlive = true;       // the connection stays open after the answer
  bool HasBody = false;        // Content-Length above 0 or any Transfer-Encoding
  std::string Accept;          // the Accept fields, joined with commas
  std::string AcceptEncoding;  // the Accept-Encoding fields, joined with commas
};

enum class HeadStatus {
  kIncomplete,      // the empty line that ends the head has not arrived yet
  kComplete,        // Request and Length hold the head
  kBadRequest,      // 400: not a well-formed HTTP/1.x request head
  kUriTooLong,      // 414: the request line alone passes kMaxRequestHeadBytes
  kHeadTooLarge,    // 431: the head passes kMaxRequestHeadBytes
  kVersionUnknown,  // 505: a well-formed version other than 1.x
};

struct HeadParse {
  HeadStatus Status = HeadStatus::kIncomplete;
  size_t Length = 0;  // bytes of the buffer the head took, when complete
  HttpRequest Request;
};

// Parses the request head at the start of buffer. Empty lines before the
// request line are skipped, as RFC 9112 asks; a line may end in CR LF or in a
// bare LF. Everything else is strict: one blank between the three parts of
// the request line, token characters in methods and field names, no blank
// before a field's colon, no folded lines, no control bytes, one Host field in
// HTTP/1.1, one valid Content-Length.
HeadParse ParseRequestHead(std::string_view buffer);

// Where the head at the start of buffer ends (the offset just past its empty
// line), looking from offset from on (a caller that already scanned a part
// passes the end of that part); nothing when it has not arrived.
std::optional<size_t> FindHeadEnd(std::string_view buffer, size_t from = 0);

// One item of a comma-separated field with weights (Accept, Accept-Encoding):
// its value in lower case, the version parameter (lower case, quotes removed)
// and its weight q (1 when not given, 0 when malformed).
struct WeightedItem {
  std::string Value;
  std::string Version;
  double Quality = 1;
};

std::vector<WeightedItem> ParseWeightedList(std::string_view field);

}  // namespace agent
