#include "common/TaskFile.h"

#include "common/DelimitedReader.h"

namespace common {

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
