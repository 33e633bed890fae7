#pragma once
// What the task viewer shows of the task records in Tasks/Queue and
// Tasks/Done: the fields of one record by the viewer's tag rule, their display
// texts, and the rows of both folders. Plain functions, no widgets.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace client {

// The fields of one record. Fields a record does not carry stay empty.
struct TaskFields {
  std::string TaskName;
  std::string TaskCmd;
  std::string ExecMode;
  std::string QueueAt;
  std::string RunAsUser;
  std::string ResponseContent;
  std::string EndAt;
  std::string ResponseString;
  std::string Status;
  std::string Output;  // every item after "#FUNCTAG:OUTPUT", each preceded by CR LF
};

// The list reads at most this many items of a record; the detail reads at most
// kDetailItems and looks for tags in the first kDetailTagItems only.
inline constexpr size_t kListItems = 14;
inline constexpr size_t kDetailItems = 2000;
inline constexpr size_t kDetailTagItems = 19;

// The list reads at most this much of a record: every field the agent writes
// before the output (all of them taken from one request line of at most
// 1 MiB), so that a Refresh over a thousand records of 16 MiB stays short. An
// output line that runs past it is cut for the list; the detail reads on to
// common::kMaxTaskRecordBytes.
inline constexpr size_t kListRecordBytes = (size_t{1} << 20) + 4096;

// The bytes of the record at path that hold its first items items, read only
// as far as those need (records can be 16 MiB), never more than max_bytes and
// never through a symbolic link. Nothing when path is not a regular file that
// can be read.
std::optional<std::string> ReadTaskRecord(const std::string& path, size_t items, size_t max_bytes);

// Reads at most max_items items of the record (items trimmed of blanks) and
// takes from the first tag_items of them every item that holds a tag: the text
// after the tag's first occurrence, up to a second occurrence of it; a later
// item overrides an earlier one. Once an item holding "#FUNCTAG:OUTPUT" is met
// among those, every later item goes to Output.
TaskFields ReadTaskFields(std::string_view record_bytes, size_t max_items, size_t tag_items);

// Display texts: "B" Batch, "O" OnLine, anything else empty (the list) or
// unchanged (the detail); the output check rules 0, 1 and 2 by their
// Portuguese sentences, anything else unchanged.
std::string ExecModeListText(std::string_view mode);
std::string ExecModeDetailText(std::string_view mode);
std::string ResponseContentText(std::string_view rule);

// The process id a queued record's name starts with (the digits before its
// first "_", or before its end when it has none); 0 when that is not a number.
int QueuedRecordProcessId(std::string_view file_name);

// One row of the viewer's list.
struct TaskRow {
  std::string FileName;
  std::string Folder;  // the folder it was listed from (full path)
  std::string Status;
  std::string TaskName;
  std::string TaskCmd;
  std::string QueueAt;
  std::string EndAt;
  std::string ExecMode;  // display text
};

// The rows of both folders below the program folder: every entry of
// Tasks/Done, then every "*.buf" entry (letter case ignored) of Tasks/Queue,
// each by name order. A queued record reads "RUNNING" while the process its
// name starts with runs, "FAIL" otherwise, unless it carries a status. An
// entry that is not a readable file has empty fields. A folder that cannot be
// read gives no rows.
std::vector<TaskRow> LoadTaskRows(const std::string& program_folder);

// The path of a listed record: in the folder it was listed from, or in
// Tasks/Done when it has gone from there (swept meanwhile).
std::string TaskRecordPath(const std::string& program_folder, const std::string& folder,
                           const std::string& file_name);

}  // namespace client
