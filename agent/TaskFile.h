#pragma once
// The task record: the file that each EXETASK run leaves in Tasks/Queue (later
// swept to Tasks/Done), its lines, the writer that keeps it open while the
// task's program runs, and the reader that TASKQUERY and the task viewer share.
// Also the checks and look-ups for names that arrive over the wire.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agent {

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

// Lines 1 to 5, written when the record is opened.
struct TaskRecordHead {
  std::string TaskName;
  std::string TaskCmd;
  bool Online = false;  // EXEC_MODE "O"; "B" otherwise
  std::string QueueAt;  // 14-digit time stamp
};

// Lines 6 to 13, written once the program's output has been read. The password
// of the request has no place here: RUN_AS_PASS is always written empty.
struct TaskRecordTail {
  std::string EndAt;  // 14-digit time stamp; empty in mode B
  std::string RunAsUser;
  std::string ResponseContent;
  std::string ResponseString;
  std::string Status;  // kStatusOk or kStatusFail
  std::string Output;
};

// The bytes of lines 1 to 5 and of lines 6 to 13, each line ended by CR LF.
std::string TaskRecordHeadText(const TaskRecordHead& head);
std::string TaskRecordTailText(const TaskRecordTail& tail);

// The status of a task: in mode O, "OK" when the upper-case output holds the
// (upper-case) response string anywhere, "FAIL" otherwise; an empty string is
// found in any non-empty output, but not in an empty one. Mode B: always "OK".
std::string_view TaskStatus(bool online, std::string_view output, std::string_view response_string);

// A record open for writing. The file is closed when the object goes, on every
// way out of the code that opened it.
class TaskFileWriter {
 public:
  TaskFileWriter() = default;
  ~TaskFileWriter();
  TaskFileWriter(const TaskFileWriter&) = delete;
  TaskFileWriter& operator=(const TaskFileWriter&) = delete;

  // Creates the file, or empties it when it exists, and writes the bytes. A
  // symbolic link is not followed. Returns 0, or the errno of the failure.
  int Open(const std::string& path, std::string_view bytes);
  // Writes more bytes. Returns 0, or the errno of the failure.
  int Append(std::string_view bytes);
  // Closes the file. Returns 0, or the errno of the failure.
  int Close();

 private:
  int fd_ = -1;
};

// The fields of a record in the delimited-text manner: a comma or a line end
// ends a field, a field in double quotes loses them. Every field is plain text
// (the tag lines too).
std::vector<std::string> ReadTaskFileFields(std::string_view record_bytes);
// The fields of a record, each followed by CR LF: what TASKQUERY DUMP returns.
std::string ReadTaskFileText(std::string_view record_bytes);
// The value of a tag in the fields read: the text after the tag in the first
// field that contains it; nothing when no field does.
std::optional<std::string> TaskFileValue(const std::vector<std::string>& fields,
                                         std::string_view tag);

// Whether a name from the wire may be joined to a folder path: not empty, not
// "." or "..", and free of "/", "\" and NUL.
bool IsPlainFileName(std::string_view name);

// The names of the regular files in a folder (symbolic links to regular files
// included; folders left out), sorted by name. Returns 0, or the errno of the
// failure to read the folder.
int ListFolderFiles(const std::string& folder, std::vector<std::string>& names);

// The name of the regular file in folder that is called name, ignoring ASCII
// letter case as Windows does: the exact name when it exists, else the first
// match by name order. Nothing when there is none.
std::optional<std::string> FindFileIgnoringCase(const std::string& folder, std::string_view name);

// The account passwords (field 6) of the request's EXETASK lines, in every form
// a text derived from the request may hold them: as received, without line
// ends, and each blank-separated word of one holding blanks.
std::vector<std::string> TaskPasswords(std::string_view request);

// The text with every password of the request replaced by "***"; the password
// never reaches the log. The one-argument form hides them in the request itself.
std::string HideTaskPasswords(std::string_view text, std::string_view request);
std::string HideTaskPasswords(std::string_view request);

}  // namespace agent
