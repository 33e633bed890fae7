#include "common/TaskFile.h"

#include <algorithm>

#include "common/DelimitedReader.h"

namespace common {
namespace {

// The first read of a record holds the head of any record the agent writes.
constexpr size_t kFirstRecordRead = 8 * 1024;

// Whether the text holds max_items whole fields: each ended by its delimiter
// within the text, since a field that reaches the end of what was read may go
// on in the bytes not read yet.
bool HoldsFields(std::string_view text, size_t max_items) {
  DelimitedReader reader(text);
  for (size_t k = 0; k < max_items; ++k) {
    if (!reader.Next() || reader.AtEnd()) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadTaskRecordHead(const std::string& path, size_t max_items,
                                              platform::LinkPolicy links, size_t max_bytes) {
  platform::ReadableFile file;
  if (file.Open(path, links) != 0) return std::nullopt;
  std::string bytes;
  for (size_t want = std::min(kFirstRecordRead, max_bytes);; want = std::min(want * 4, max_bytes)) {
    if (file.ReadUpTo(bytes, want) != 0) return std::nullopt;
    if (file.AtEnd() || bytes.size() >= max_bytes || HoldsFields(bytes, max_items)) {
      return bytes;
    }
  }
}

std::vector<std::string> ReadTaskFileFields(std::string_view record_bytes, size_t max_fields) {
  std::vector<std::string> fields;
  DelimitedReader reader(record_bytes);
  while (fields.size() < max_fields) {
    std::optional<std::string> field = reader.Next();
    if (!field) break;
    fields.push_back(std::move(*field));
  }
  return fields;
}

std::string ReadTaskFileText(std::string_view record_bytes) {
  std::string text;
  for (const std::string& field : ReadTaskFileFields(record_bytes)) {
    text += field;
    text += "\r\n";
  }
  return text;
}

std::optional<std::string> TaskFileValue(const std::vector<std::string>& fields,
                                         std::string_view tag) {
  for (const std::string& field : fields) {
    const size_t at = field.find(tag);
    if (at != std::string::npos) return field.substr(at + tag.size());
  }
  return std::nullopt;
}

}  // namespace common
