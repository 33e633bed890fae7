#pragma once
// A small HTTP client for tests: one GET per connection to a server on this
// machine, and the splitting of answers into status, fields and body.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace testsupport {

struct HttpResult {
  int Status = 0;
  std::map<std::string, std::string> Headers;  // names in lower case
  std::string Body;
};

// The first answer of bytes: its status line, fields and body. The body is
// Content-Length bytes (none for an answer to HEAD), or everything left when
// the answer gives no length. length, when given, receives the bytes the answer
// took. Nothing when the bytes hold no complete answer.
std::optional<HttpResult> ParseHttpResponse(std::string_view bytes, bool head_only = false,
                                            size_t* length = nullptr);

// Sends "GET target HTTP/1.0" with the given field lines (each ended by CR LF)
// to 127.0.0.1:port and reads the answer until the server closes. Connecting
// is retried until the deadline. Nothing when no complete answer came in time.
std::optional<HttpResult> HttpGet(int port, std::string_view target,
                                  std::string_view fields = {},
                                  std::chrono::milliseconds deadline = std::chrono::seconds(30));

// Percent-encoding of a query value: every byte but letters, digits and -._~.
std::string UrlEncode(std::string_view text);

}  // namespace testsupport
