#pragma once
// Reader of delimited text, field by field, as the configuration file, task
// records and the RRD template are read: a comma or a line end ends a field;
// blanks before a field are skipped; a field that begins with a double quote
// runs to the next double quote, loses its quotes and may hold commas (text
// after the closing quote up to the next comma or line end is dropped).

#include <optional>
#include <string>
#include <string_view>

namespace common {

class DelimitedReader {
 public:
  explicit DelimitedReader(std::string_view text) : text_(text) {}

  // The next field, or nothing at the end of the text. A quoted field without a
  // closing quote before the end of the text is dropped and ends the reading
  // (broken() then reports it).
  std::optional<std::string> Next();
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool broken() const { return broken_; }
  // Where the field last read lies in the text: from its first character after
  // the blanks skipped before it up to its delimiter (a quoted field with its
  // quotes and whatever was dropped after them). After a broken read, both are
  // where the unclosed quote stands.
  size_t FieldBegin() const { return field_begin_; }
  size_t FieldEnd() const { return field_end_; }

 private:
  void SkipDelimiter();

  std::string_view text_;
  size_t pos_ = 0;
  size_t field_begin_ = 0;
  size_t field_end_ = 0;
  bool broken_ = false;
};

}  // namespace common
