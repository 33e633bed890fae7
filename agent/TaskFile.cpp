#include "agent/TaskFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/TextUtil.h"

namespace agent {
namespace {

constexpr std::string_view kCrLf = "\r\n";

void AppendLine(std::string& text, std::string_view tag, std::string_view value = {}) {
  text.append(tag);
  text.append(value);
  text.append(kCrLf);
}

bool IsRegularFileAt(const std::string& folder, const char* name) {
  struct stat info {};
  const std::string path = folder + "/" + name;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && common::ToUpper(a) == common::ToUpper(b);
}

}  // namespace

std::string TaskRecordHeadText(const TaskRecordHead& head) {
  std::string text;
  AppendLine(text, kTagObj);
  AppendLine(text, kTagTaskName, head.TaskName);
  AppendLine(text, kTagTaskCmd, head.TaskCmd);
  AppendLine(text, kTagExecMode, head.Online ? kModeOnline : kModeBatch);
  AppendLine(text, kTagQueueAt, head.QueueAt);
  return text;
}

std::string TaskRecordTailText(const TaskRecordTail& tail) {
  std::string text;
  AppendLine(text, kTagEndAt, tail.EndAt);
  AppendLine(text, kTagRunAsUser, tail.RunAsUser);
  AppendLine(text, kTagRunAsPass);
  AppendLine(text, kTagResponseContent, tail.ResponseContent);
  AppendLine(text, kTagResponseString, tail.ResponseString);
  AppendLine(text, kTagStatus, tail.Status);
  AppendLine(text, kTagOutput);
  AppendLine(text, tail.Output);
  return text;
}

std::string_view TaskStatus(bool online, std::string_view output,
                            std::string_view response_string) {
  if (!online) return kStatusOk;
  // As a text search, an empty string is found at the first character of any
  // non-empty text and nowhere in an empty one.
  if (output.empty()) return kStatusFail;
  const std::string upper_output = common::ToUpper(output);
  const std::string upper_string = common::ToUpper(response_string);
  return upper_output.find(upper_string) != std::string::npos ? kStatusOk : kStatusFail;
}

TaskFileWriter::~TaskFileWriter() {
  Close();
}

int TaskFileWriter::Open(const std::string& path, std::string_view bytes) {
  Close();
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd_ < 0) return errno;
  return Append(bytes);
}

int TaskFileWriter::Append(std::string_view bytes) {
  if (fd_ < 0) return EBADF;
  while (!bytes.empty()) {
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

int TaskFileWriter::Close() {
  if (fd_ < 0) return 0;
  const int result = close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  return result;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

int ListFolderFiles(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return errno;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // Most file systems say what an entry is; links and the rest are looked at.
    const bool regular =
        entry->d_type == DT_REG || ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
                                    IsRegularFileAt(folder, entry->d_name));
    if (regular) names.emplace_back(name);
    errno = 0;
  }
  const int read_error = errno;
  closedir(dir);
  if (read_error != 0) return read_error;
  std::sort(names.begin(), names.end());
  return 0;
}

std::optional<std::string> FindFileIgnoringCase(const std::string& folder, std::string_view name) {
  if (!IsPlainFileName(name)) return std::nullopt;
  if (common::FileExists(folder + "/" + std::string(name))) return std::string(name);
  std::vector<std::string> names;
  if (ListFolderFiles(folder, names) != 0) return std::nullopt;
  const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& entry) {
    return EqualIgnoringCase(entry, name);
  });
  if (found == names.end()) return std::nullopt;
  return *found;
}

std::vector<std::string> TaskPasswords(std::string_view request) {
  constexpr std::string_view kWord = "EXETASK";
  constexpr int kPasswordField = 6;
  const std::string upper = common::ToUpper(request);
  std::vector<std::string> passwords;
  for (size_t word = upper.find(kWord); word != std::string::npos;
       word = upper.find(kWord, word + 1)) {
    // Field n runs from the n-th "#" after the word to the next "#" or the end
    // of the line.
    size_t at = word + kWord.size();
    int hashes = 0;
    while (at < upper.size() && upper[at] != '\n' && hashes < kPasswordField) {
      if (upper[at++] == '#') ++hashes;
    }
    if (hashes < kPasswordField) continue;
    const size_t end = upper.find_first_of("#\n", at);
    std::string field(request.substr(at, end == std::string::npos ? end : end - at));
    if (field.empty()) continue;
    passwords.push_back(field);
    // The forms a text cut from the request may hold: without line ends (the
    // task's fields), and word by word (the blank-separated argument words).
    std::erase_if(field, [](char c) { return c == '\r' || c == '\n'; });
    for (const std::string& piece : common::SplitText(field, " ")) passwords.push_back(piece);
    passwords.push_back(std::move(field));
  }
  return passwords;
}

std::string HideTaskPasswords(std::string_view text, std::string_view request) {
  return common::HideSecrets(text, TaskPasswords(request));
}

std::string HideTaskPasswords(std::string_view request) {
  return HideTaskPasswords(request, request);
}

std::string PasswordPieceMask::Hide(std::string_view piece) {
  static constexpr std::string_view kWord = "EXETASK";
  // Where matching goes on after a mismatch: "E" is the only letter of the
  // word that also starts it again ("EXE").
  static constexpr size_t kFallBack[] = {0, 0, 1, 0, 0, 0, 0};
  constexpr uint8_t kPasswordField = 1u << 6;
  std::string shown;
  shown.reserve(piece.size());
  bool hiding = false;
  for (const char c : piece) {
    const bool secret = (fields_ & kPasswordField) != 0 && c != '#' && c != '\n';
    if (secret) {
      if (!hiding) shown += "***";
    } else {
      shown += c;
    }
    hiding = secret;
    if (c == '\n') {
      fields_ = 0;
      matched_ = 0;
      continue;
    }
    if (c == '#') fields_ = static_cast<uint8_t>((fields_ << 1) & 0x7f);
    const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    while (matched_ > 0 && upper != kWord[matched_]) matched_ = kFallBack[matched_ - 1];
    if (upper == kWord[matched_]) ++matched_;
    if (matched_ == kWord.size()) {
      fields_ |= 1;
      matched_ = kFallBack[kWord.size() - 1];
    }
  }
  return shown;
}

}  // namespace agent
