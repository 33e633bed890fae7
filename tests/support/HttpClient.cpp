#include "tests/support/HttpClient.h"

#include <unistd.h>

#include <cctype>

#include "tests/support/TcpClient.h"

namespace testsupport {

std::optional<HttpResult> ParseHttpResponse(std::string_view bytes, bool head_only,
                                            size_t* length) {
  const size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos || !bytes.starts_with("HTTP/1.") || end < 12) {
    return std::nullopt;
  }
  HttpResult result;
  result.Status = std::atoi(std::string(bytes.substr(9, 3)).c_str());
  std::string_view fields = bytes.substr(0, end + 2);
  fields.remove_prefix(fields.find("\r\n") + 2);
  while (!fields.empty()) {
    const std::string_view line = fields.substr(0, fields.find("\r\n"));
    fields.remove_prefix(line.size() + 2);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    result.Headers[name] = std::string(value);
  }
  const std::string_view rest = bytes.substr(end + 4);
  size_t body = rest.size();
  if (head_only) {
    body = 0;
  } else if (const auto found = result.Headers.find("content-length"); found != result.Headers.end()) {
    body = std::stoul(found->second);
    if (body > rest.size()) return std::nullopt;
  }
  result.Body = std::string(rest.substr(0, body));
  if (length != nullptr) *length = end + 4 + body;
  return result;
}

std::optional<HttpResult> HttpGet(int port, std::string_view target, std::string_view fields,
                                  std::chrono::milliseconds deadline) {
  const TestClock::time_point until = TestClock::now() + deadline;
  const int fd = ConnectLoopback(port, until);
  if (fd < 0) return std::nullopt;
  const std::string request = "GET " + std::string(target) + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                              std::to_string(port) + "\r\n" + std::string(fields) + "\r\n";
  std::string received;
  const bool complete = SendAll(fd, request) && ReadUntil(fd, received, 0, until);
  close(fd);
  if (!complete) return std::nullopt;
  return ParseHttpResponse(received);
}

std::string UrlEncode(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kDigits[byte >> 4];
      out += kDigits[byte & 15];
    }
  }
  return out;
}

}  // namespace testsupport
