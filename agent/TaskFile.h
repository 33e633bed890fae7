#pragma once
// The task record: the file that each EXETASK run leaves in Tasks/Queue (later
// swept to Tasks/Done), its lines, the writer that keeps it open while the
// task's program runs (its format and reader are in common/TaskFile.h).
// Also the checks and look-ups for names that arrive over the wire.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/TaskFile.h"

namespace agent {

// The record's format and reader live in common/ (the desktop client reads
// records too); the agent uses them under its own namespace.
using common::kDoneFolder;
using common::kModeBatch;
using common::kModeOnline;
using common::kQueueFolder;
using common::kStatusFail;
using common::kStatusOk;
using common::kTagEndAt;
using common::kTagExecMode;
using common::kTagObj;
using common::kTagOutput;
using common::kTagQueueAt;
using common::kTagResponseContent;
using common::kTagResponseString;
using common::kTagRunAsPass;
using common::kTagRunAsUser;
using common::kTagStatus;
using common::kTagTaskCmd;
using common::kTagTaskName;
using common::kTasksFolder;
using common::ReadTaskFileFields;
using common::ReadTaskFileText;
using common::TaskFileValue;

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

// Hides the passwords of a request that arrives in pieces, piece by piece: the
// bytes of every EXETASK password field (field 6 after the word, up to the next
// "#" or line feed) are left out, each run of them written "***", wherever the
// pieces are cut. Each piece costs time in proportion to its own length only.
class PasswordPieceMask {
 public:
  std::string Hide(std::string_view piece);

 private:
  size_t matched_ = 0;   // letters of the word EXETASK matched so far
  uint8_t fields_ = 0;   // bit k: a word EXETASK on this line has k "#" after it
};

}  // namespace agent
