#include "agent/TaskCommands.h"

#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "agent/PipedShell.h"
#include "agent/TaskFile.h"
#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/FileAccess.h"

namespace agent {
namespace {

// What a missing field or word reports, as an index past the end of a split
// text would.
constexpr std::string_view kMissingPart = "Subscript out of range";
constexpr std::string_view kListLabel = " List CMD";

// The number of "#"-separated fields an EXETASK request must hold (fields 0 to
// 4, up to the mode); fields 5 to 8 may be left out and read as empty.
constexpr size_t kExeTaskLeastFields = 5;
constexpr size_t kExeTaskFields = 9;

HandlerResult BadName(std::string_view name) {
  return HandlerResult::Failure("Bad file name or number: \"" + std::string(name) + "\"");
}

HandlerResult SystemFailure(int error_number, std::string_view what) {
  return HandlerResult::Failure(std::string(std::strerror(error_number)) + ": " +
                                std::string(what));
}

// The text between the first occurrence of the separator and the second (or
// the end); nothing when the text does not hold it.
std::optional<std::string> TextAfter(std::string_view text, std::string_view separator) {
  const size_t first = text.find(separator);
  if (first == std::string_view::npos) return std::nullopt;
  const size_t start = first + separator.size();
  const size_t second = text.find(separator, start);
  return std::string(
      text.substr(start, second == std::string_view::npos ? second : second - start));
}

void RemoveLineEnds(std::string& text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
}

// The path of a program of the Tasks folder: the file whose name matches
// ignoring letter case (requests are upper-cased, files need not be), or the
// name as given, which then starts nothing.
std::string TaskProgramPath(std::string_view program) {
  const std::string folder = common::ProgramPath(kTasksFolder);
  const std::optional<std::string> found = FindFileIgnoringCase(folder, program);
  return folder + "/" + (found ? *found : std::string(program));
}

// The command line of a task: the program's path in double quotes, then its
// arguments as they stand.
std::string TaskCommandLine(std::string_view program, std::string_view arguments) {
  return "\"" + TaskProgramPath(program) + "\"" + std::string(arguments);
}

// The record of that name in a folder: the file already there under the name in
// any letter case, else a new one with the name as given.
std::string RecordPath(std::string_view folder_relative, std::string_view name) {
  const std::string folder = common::ProgramPath(folder_relative);
  const std::optional<std::string> found = FindFileIgnoringCase(folder, name);
  return folder + "/" + (found ? *found : std::string(name));
}

std::optional<std::string> ExistingRecordPath(std::string_view folder_relative,
                                              std::string_view name) {
  const std::string folder = common::ProgramPath(folder_relative);
  const std::optional<std::string> found = FindFileIgnoringCase(folder, name);
  if (!found) return std::nullopt;
  return folder + "/" + *found;
}

}  // namespace

HandlerResult TasksReply() {
  std::vector<std::string> names;
  if (const int error = ListFolderFiles(common::ProgramPath(kTasksFolder), names); error != 0) {
    common::WriteLog(common::GeneralDateTextNow() + std::strerror(error) + std::string(kListLabel),
                     1);
    return HandlerResult::Reply({});
  }
  std::string reply;
  for (const std::string& name : names) reply += name + "\r\n";
  return HandlerResult::Reply(std::move(reply));
}

HandlerResult ExecReply(const RequestLine& line, const ExecArguments& arguments) {
  std::string received(line.Received);
  RemoveLineEnds(received);
  common::WriteLog("Begin Exec" + received, 2);
  const std::string& program = arguments.Words[0];
  if (!IsPlainFileName(program)) return BadName(program);
  // The four blanks are always written, so a program given alone is followed
  // by four blanks (which start no argument).
  std::string extra;
  for (size_t k = 1; k < arguments.Words.size(); ++k) extra += " " + arguments.Words[k];
  const std::string command_line = TaskCommandLine(program, extra);
  common::WriteLog(command_line, 2);
  return HandlerResult::Reply(RunPiped(command_line));
}

HandlerResult ExeTaskReply(const RequestLine& line) {
  std::optional<std::string> request = TextAfter(line.Upper, "EXETASK");
  if (!request) return HandlerResult::Failure(std::string(kMissingPart));
  RemoveLineEnds(*request);
  std::vector<std::string> fields = common::SplitText(*request, "#");
  if (fields.size() < 3) return HandlerResult::NoReply();
  if (fields.size() < kExeTaskLeastFields) return HandlerResult::Failure(std::string(kMissingPart));
  // Fields 5 to 8 that the request leaves out are empty, so the record is
  // always completed.
  if (fields.size() < kExeTaskFields) fields.resize(kExeTaskFields);

  const std::string& record_name = fields[1];
  const std::string& command = fields[3];
  if (!IsPlainFileName(record_name)) return BadName(record_name);
  const bool online = fields[4] == kModeOnline;
  const std::string program = common::SplitText(command, " ")[0];
  if (!IsPlainFileName(program)) return BadName(program);
  // The arguments run from the program's word to its next occurrence, if any;
  // the blank in front of them stays.
  const std::string arguments = common::SplitText(command, program)[1];

  TaskRecordHead head{fields[2], command, online, common::TimeStamp14(std::time(nullptr))};
  const std::string path = RecordPath(kQueueFolder, record_name);
  TaskFileWriter record;
  if (const int error = record.Open(path, TaskRecordHeadText(head)); error != 0) {
    return SystemFailure(error, path);
  }

  std::string output = RunPiped(TaskCommandLine(program, arguments));

  TaskRecordTail tail;
  if (online) tail.EndAt = common::TimeStamp14(std::time(nullptr));
  tail.RunAsUser = fields[5];
  tail.ResponseContent = fields[7];
  tail.ResponseString = fields[8];
  tail.Status = TaskStatus(online, output, fields[8]);
  tail.Output = output;
  if (const int error = record.Append(TaskRecordTailText(tail)); error != 0) {
    return SystemFailure(error, path);
  }
  if (const int error = record.Close(); error != 0) return SystemFailure(error, path);
  return HandlerResult::Reply(std::move(output));
}

HandlerResult TaskQueryReply(const RequestLine& line) {
  // The query is taken from the line as received: the record name keeps its
  // letter case, and the mode must be "DUMP" exactly to get the whole record.
  std::optional<std::string> query = TextAfter(line.Received, "TASKQUERY ");
  if (!query) return HandlerResult::Failure(std::string(kMissingPart));
  RemoveLineEnds(*query);
  const std::vector<std::string> words = common::SplitText(*query, " ");
  if (words.size() < 2) return HandlerResult::Failure(std::string(kMissingPart));
  const std::string& name = words[0];
  const std::string& mode = words[1];
  if (!IsPlainFileName(name)) return BadName(name);

  // A record in Done wins over one of the same name still in the queue.
  std::optional<std::string> path = ExistingRecordPath(kDoneFolder, name);
  if (!path) path = ExistingRecordPath(kQueueFolder, name);
  if (!path) return HandlerResult::Reply(std::move(*query));

  // A link is no record: following it would read whatever file it names.
  const std::optional<std::string> bytes =
      platform::ReadFileHead(*path, common::kMaxTaskRecordBytes, platform::LinkPolicy::kNoFollow);
  if (!bytes) return HandlerResult::Failure("File not found: " + *path);
  std::string text = ReadTaskFileText(*bytes);
  if (mode == "DUMP") return HandlerResult::Reply(std::move(text));
  std::optional<std::string> status = TextAfter(text, kTagStatus);
  if (!status) return HandlerResult::Failure(std::string(kMissingPart));
  return HandlerResult::Reply(std::move(*status));
}

}  // namespace agent
