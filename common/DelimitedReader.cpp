#include "common/DelimitedReader.h"

#include <algorithm>
#include <cstring>

namespace common {
namespace {

// The first comma or line end at or after from; the text's size when there is
// none. Searched block by block with memchr, so that a field of megabytes (a
// task's output on one line) costs a fast scan and a short one no look ahead.
size_t NextDelimiter(std::string_view text, size_t from) {
  constexpr size_t kBlock = 4096;
  for (size_t block = from; block < text.size(); block += kBlock) {
    const size_t block_end = std::min(text.size(), block + kBlock);
    size_t end = block_end;
    for (const char delimiter : {'\n', '\r', ','}) {
      if (const void* hit = std::memchr(text.data() + block, delimiter, end - block)) {
        end = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
      }
    }
    if (end < block_end) return end;
  }
  return text.size();
}

}  // namespace

void DelimitedReader::SkipDelimiter() {
  if (pos_ >= text_.size()) return;
  if (text_[pos_] == ',') {
    ++pos_;
  } else if (text_[pos_] == '\r') {
    ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
  } else if (text_[pos_] == '\n') {
    ++pos_;
  }
}

std::optional<std::string> DelimitedReader::Next() {
  if (broken_ || pos_ >= text_.size()) return std::nullopt;
  while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  field_begin_ = pos_;

  std::string field;
  if (pos_ < text_.size() && text_[pos_] == '"') {
    const size_t close = text_.find('"', pos_ + 1);
    if (close == std::string_view::npos) {
      // An unclosed quote swallows the rest of the text: the field is dropped.
      broken_ = true;
      field_end_ = field_begin_;
      pos_ = text_.size();
      return std::nullopt;
    }
    field = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
    pos_ = close + 1;
    // Whatever follows the closing quote up to the delimiter is dropped.
    pos_ = NextDelimiter(text_, pos_);
  } else {
    const size_t start = pos_;
    pos_ = NextDelimiter(text_, pos_);
    field = std::string(text_.substr(start, pos_ - start));
  }
  field_end_ = pos_;
  SkipDelimiter();
  return field;
}

}  // namespace common
