#pragma once
// The task record: the file that each EXETASK run leaves in Tasks/Queue (later
// swept to Tasks/Done). Its tags, folders and values, and the reader that
// TASKQUERY and the desktop client's task viewer share.

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileAccess.h"

namespace common {

// The record's tags, in the order of its lines. Each value follows its tag
// directly; OBJ and OUTPUT carry none.
inline constexpr std::string_view kTagObj = "#FUNCTAG:OBJ:SCRIPTTASK";
inline constexpr std::string_view kTagTaskName = "#FUNCTAG:TASK_NAME:";
inline constexpr std::string_view kTagTaskCmd = "#FUNCTAG:TASK_CMD:";
inline constexpr std::string_view kTagExecMode = "#FUNCTAG:EXEC_MODE:";
inline constexpr std::string_view kTagQueueAt = "#FUNCTAG:QUEUE_AT:";
inline constexpr std::string_view kTagEndAt = "#FUNCTAG:END_AT:";
inline constexpr std::string_view kTagRunAsUser = "#FUNCTAG:RUN_AS_USER:";
inline constexpr std::string_view kTagRunAsPass = "#FUNCTAG:RUN_AS_PASS:";
inline constexpr std::string_view kTagResponseContent = "#FUNCTAG:RESPONSE_CONTENT:";
inline constexpr std::string_view kTagResponseString = "#FUNCTAG:RESPONSE_STRING:";
inline constexpr std::string_view kTagStatus = "#FUNCTAG:STATUS:";
inline constexpr std::string_view kTagOutput = "#FUNCTAG:OUTPUT";

// EXEC_MODE values: "O" (shown as OnLine) waits for the output and judges it;
// "B" (Batch) records no end time and is always OK.
inline constexpr std::string_view kModeOnline = "O";
inline constexpr std::string_view kModeBatch = "B";
inline constexpr std::string_view kStatusOk = "OK";
inline constexpr std::string_view kStatusFail = "FAIL";

// The folders, relative to the program folder.
inline constexpr std::string_view kTasksFolder = "Tasks";
inline constexpr std::string_view kQueueFolder = "Tasks/Queue";
inline constexpr std::string_view kDoneFolder = "Tasks/Done";

// The most of a record that is ever read: the agent keeps the first 16 MiB of
// a program's output, and the request that names the task is at most 1 MiB.
inline constexpr size_t kMaxTaskRecordBytes = size_t{18} << 20;

// The first bytes of the record at path that hold its first max_items fields
// (all of a shorter record), read in growing steps so that a list of large
// records costs only their heads; never more than max_bytes. Nothing when path
// is not a regular file that can be read; with kNoFollow, a link is not
// followed out of the task folders.
std::optional<std::string> ReadTaskRecordHead(const std::string& path, size_t max_items,
                                              platform::LinkPolicy links,
                                              size_t max_bytes = kMaxTaskRecordBytes);

// The fields of a record in the delimited-text manner: a comma or a line end
// ends a field, a field in double quotes loses them. Every field is plain text
// (the tag lines too). At most max_fields are read; the rest of the record is
// not looked at.
std::vector<std::string> ReadTaskFileFields(
    std::string_view record_bytes, size_t max_fields = std::numeric_limits<size_t>::max());
// The fields of a record, each followed by CR LF: what TASKQUERY DUMP returns.
std::string ReadTaskFileText(std::string_view record_bytes);
// The value of a tag in the fields read: the text after the tag in the first
// field that contains it; nothing when no field does.
std::optional<std::string> TaskFileValue(const std::vector<std::string>& fields,
                                         std::string_view tag);

}  // namespace common
