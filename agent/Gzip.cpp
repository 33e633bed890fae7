#include "agent/Gzip.h"

#include <zlib.h>

namespace agent {
namespace {

// zlib's window bits plus 16: a gzip header and trailer instead of zlib's.
constexpr int kGzipWindowBits = 12 + 16;
constexpr int kMemoryLevel = 5;

}  // namespace

std::optional<std::string> GzipCompress(std::string_view bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  const size_t written = out.size() - stream.avail_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  out.resize(written);
  return out;
}

}  // namespace agent
