#pragma once
// gzip compression of a whole answer body (zlib), for HTTP clients that accept
// the gzip content coding.

#include <optional>
#include <string>
#include <string_view>

namespace agent {

// The bytes in the gzip format (RFC 1952), compressed for speed rather than
// size: a scrape is answered on the agent's only thread. Nothing when zlib
// fails (out of memory).
std::optional<std::string> GzipCompress(std::string_view bytes);

}  // namespace agent
