#include "common/DelimitedReader.h"

namespace common {
namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

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
    while (pos_ < text_.size() && text_[pos_] != ',' && !IsLineEnd(text_[pos_])) ++pos_;
  } else {
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ',' && !IsLineEnd(text_[pos_])) ++pos_;
    field = std::string(text_.substr(start, pos_ - start));
  }
  field_end_ = pos_;
  SkipDelimiter();
  return field;
}

}  // namespace common
