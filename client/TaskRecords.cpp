#include "client/TaskRecords.h"

#include <dirent.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "common/DelimitedReader.h"
#include "common/TaskFile.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"
#include "platform/ProcessWatch.h"

namespace client {
namespace {

constexpr std::string_view kRunning = "RUNNING";
constexpr std::string_view kQueueExtension = ".BUF";

// The tags in the order they are looked for, with the field each fills.
struct TagField {
  std::string_view Tag;
  std::string TaskFields::*Field;
};
const std::array<TagField, 9> kTagFields = {{
    {common::kTagTaskName, &TaskFields::TaskName},
    {common::kTagTaskCmd, &TaskFields::TaskCmd},
    {common::kTagExecMode, &TaskFields::ExecMode},
    {common::kTagQueueAt, &TaskFields::QueueAt},
    {common::kTagRunAsUser, &TaskFields::RunAsUser},
    {common::kTagResponseContent, &TaskFields::ResponseContent},
    {common::kTagEndAt, &TaskFields::EndAt},
    {common::kTagResponseString, &TaskFields::ResponseString},
    {common::kTagStatus, &TaskFields::Status},
}};

// The entries of a folder except "." and "..", by name order.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view upper_suffix) {
  return text.size() >= upper_suffix.size() &&
         common::ToUpper(text.substr(text.size() - upper_suffix.size())) == upper_suffix;
}

TaskRow RowOf(const std::string& folder, const std::string& name, std::string status) {
  TaskRow row;
  row.FileName = name;
  row.Folder = folder;
  row.Status = std::move(status);
  // A folder, a vanished file, a FIFO or a link reads as nothing: its row has
  // empty fields.
  const std::optional<std::string> bytes =
      ReadTaskRecord(folder + "/" + name, kListItems, kListRecordBytes);
  if (!bytes) return row;
  const TaskFields fields = ReadTaskFields(*bytes, kListItems, kListItems);
  if (!fields.Status.empty()) row.Status = fields.Status;
  row.TaskName = fields.TaskName;
  row.TaskCmd = fields.TaskCmd;
  row.QueueAt = fields.QueueAt;
  row.EndAt = fields.EndAt;
  row.ExecMode = ExecModeListText(fields.ExecMode);
  return row;
}

}  // namespace

std::optional<std::string> ReadTaskRecord(const std::string& path, size_t items, size_t max_bytes) {
  return common::ReadTaskRecordHead(path, items, platform::LinkPolicy::kNoFollow, max_bytes);
}

TaskFields ReadTaskFields(std::string_view record_bytes, size_t max_items, size_t tag_items) {
  TaskFields fields;
  common::DelimitedReader reader(record_bytes);
  bool in_output = false;
  for (size_t item_number = 0; item_number < max_items; ++item_number) {
    const std::optional<std::string> read = reader.Next();
    if (!read) break;
    const std::string_view item = common::TrimBlanks(*read);
    if (in_output) {
      fields.Output += "\r\n";
      fields.Output += item;
    }
    if (item_number >= tag_items) continue;
    for (const TagField& tag : kTagFields) {
      const size_t at = item.find(tag.Tag);
      if (at == std::string_view::npos) continue;
      std::string_view value = item.substr(at + tag.Tag.size());
      value = value.substr(0, value.find(tag.Tag));
      fields.*tag.Field = std::string(value);
    }
    if (!in_output && item.find(common::kTagOutput) != std::string_view::npos) in_output = true;
  }
  return fields;
}

std::string ExecModeListText(std::string_view mode) {
  if (mode == common::kModeBatch) return "Batch";
  if (mode == common::kModeOnline) return "OnLine";
  return {};
}

std::string ExecModeDetailText(std::string_view mode) {
  const std::string text = ExecModeListText(mode);
  return text.empty() ? std::string(mode) : text;
}

std::string ResponseContentText(std::string_view rule) {
  if (rule == "0") return "Ignorar saida do script";
  if (rule == "1") return "Saida do script deve conter string";
  if (rule == "2") return "Saida do script nao deve conter string";
  return std::string(rule);
}

int QueuedRecordProcessId(std::string_view file_name) {
  const std::string_view digits = file_name.substr(0, file_name.find('_'));
  int pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return 0;
  return pid;
}

std::vector<TaskRow> LoadTaskRows(const std::string& program_folder) {
  std::vector<TaskRow> rows;
  const std::string done = program_folder + "/" + std::string(common::kDoneFolder);
  for (const std::string& name : FolderEntries(done)) rows.push_back(RowOf(done, name, {}));

  const std::string queue = program_folder + "/" + std::string(common::kQueueFolder);
  for (const std::string& name : FolderEntries(queue)) {
    if (!EndsWithIgnoringCase(name, kQueueExtension)) continue;
    const bool running = platform::ProcessIsRunning(QueuedRecordProcessId(name));
    rows.push_back(RowOf(queue, name, std::string(running ? kRunning : common::kStatusFail)));
  }
  return rows;
}

std::string TaskRecordPath(const std::string& program_folder, const std::string& folder,
                           const std::string& file_name) {
  const std::string listed = folder + "/" + file_name;
  if (platform::IsRegularFile(listed)) return listed;
  return program_folder + "/" + std::string(common::kDoneFolder) + "/" + file_name;
}

}  // namespace client
