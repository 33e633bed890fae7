#include "platform/FileAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace platform {
namespace {

// File access goes straight to the system calls: the C++ streams would bring
// their locale machinery into every program, and its start-up alone touches
// hundreds of kilobytes.

constexpr size_t kReadChunk = 64 * 1024;
// Links followed before a chain counts as a loop, as the kernel counts them.
constexpr int kMaxLinkDepth = 40;
// mkostemp's "XXXXXX".
constexpr size_t kTemporarySuffix = 6;

// 0 for a regular file; the errno value that refuses anything else.
int RegularFileCheck(mode_t mode) {
  if (S_ISREG(mode)) return 0;
  return S_ISDIR(mode) ? EISDIR : EINVAL;
}

int CheckDescriptor(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return errno;
  return RegularFileCheck(info.st_mode);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of a save's temporary file without its random part: hidden
// (leading dot), so that listings skip it, and marked as ours, so that the
// clean-up below never takes a file of the user's (".TarvoAgent.cfg.backup").
std::string TemporaryName(const std::string& name) { return "." + name + ".tarvo-save-"; }

std::string TemporaryPrefix(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "" : folder) + "/" + TemporaryName(name);
}

// Removes the temporary files of saves of this file that were cut short. A
// save under way holds its temporary file locked, so only those whose writer
// is gone can be locked here.
void RemoveStaleTemporaries(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  const std::string prefix = TemporaryName(name);
  while (const dirent* entry = readdir(dir)) {
    const std::string_view entry_name = entry->d_name;
    if (entry_name.size() != prefix.size() + kTemporarySuffix || !entry_name.starts_with(prefix)) {
      continue;
    }
    const std::string candidate =
        TemporaryPrefix(folder, name) + std::string(entry_name.substr(prefix.size()));
    const int fd = open(candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    if (CheckDescriptor(fd) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(candidate.c_str());
    close(fd);
  }
  closedir(dir);
}

// Creates a temporary file beside the target and holds it locked until it is
// closed. Returns 0 or the errno value.
int CreateTemporary(const std::string& folder, const std::string& name, int& fd,
                    std::string& temp) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    temp = TemporaryPrefix(folder, name) + std::string(kTemporarySuffix, 'X');
    fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    // Another save's clean-up may have taken it between its creation and the
    // lock: then it has no name left, and another is made.
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_nlink > 0) return 0;
    close(fd);
  }
  return EAGAIN;
}

// Gives the new file the former one's owner and mode (0644 when there was
// none). The owner first: a change of owner clears the set-id bits.
int GiveModeAndOwner(int fd, const struct stat* former) {
  if (former == nullptr) return fchmod(fd, 0644) == 0 ? 0 : errno;
  struct stat own {};
  if (fstat(fd, &own) != 0) return errno;
  if (own.st_uid != former->st_uid || own.st_gid != former->st_gid) {
    // Only a privileged process may give a file away; otherwise the file stays
    // the saver's, with the former group where the saver belongs to it.
    if (fchown(fd, former->st_uid, former->st_gid) != 0) {
      if (errno != EPERM) return errno;
      if (fchown(fd, static_cast<uid_t>(-1), former->st_gid) != 0 && errno != EPERM) return errno;
    }
  }
  return fchmod(fd, former->st_mode & 07777) == 0 ? 0 : errno;
}

// Flushes a folder's entries, so that a rename in it survives a crash.
void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

ReadableFile::~ReadableFile() {
  Close();
}

void ReadableFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int ReadableFile::Open(const std::string& path, LinkPolicy links) {
  Close();
  at_end_ = false;
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  if (links == LinkPolicy::kNoFollow) flags |= O_NOFOLLOW;
  const int fd = open(path.c_str(), flags);
  if (fd < 0) return errno;
  if (const int err = CheckDescriptor(fd)) {
    close(fd);
    return err;
  }
  fd_ = fd;
  return 0;
}

int ReadableFile::OpenKernelFile(const std::string& path) {
  Close();
  at_end_ = false;
  fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fd_ < 0 ? errno : 0;
}

int ReadableFile::ReadUpTo(std::string& text, size_t max_size) {
  if (fd_ < 0) return EBADF;
  // Through a buffer on the stack: most files read here (/proc, /sys,
  // records) are small, and growing the text by a whole chunk for each would
  // cost an allocation and the zeroing of the chunk every time.
  char buffer[kReadChunk];
  while (!at_end_ && text.size() < max_size) {
    const size_t want = std::min(max_size - text.size(), sizeof(buffer));
    const ssize_t n = read(fd_, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) at_end_ = true;
    text.append(buffer, static_cast<size_t>(n));
  }
  return 0;
}

namespace {

// Reads the whole of an open file of at most max_bytes into text: 0, the errno
// value of a failed read, or EFBIG (text then empty).
int ReadWhole(ReadableFile& file, size_t max_bytes, std::string& text) {
  // One byte more than allowed tells a file that is too large.
  const size_t limit = max_bytes == SIZE_MAX ? max_bytes : max_bytes + 1;
  if (const int err = file.ReadUpTo(text, limit)) {
    text.clear();
    return err;
  }
  if (text.size() > max_bytes) {
    text.clear();
    return EFBIG;
  }
  return 0;
}

}  // namespace

int ReadRegularFile(const std::string& path, size_t max_bytes, std::string& text,
                    LinkPolicy links) {
  text.clear();
  ReadableFile file;
  if (const int err = file.Open(path, links)) return err;
  return ReadWhole(file, max_bytes, text);
}

std::optional<std::string> ReadFileText(const std::string& path, size_t max_bytes,
                                        LinkPolicy links) {
  std::string text;
  if (ReadRegularFile(path, max_bytes, text, links) != 0) return std::nullopt;
  return text;
}

std::optional<std::string> ReadKernelFileText(const std::string& path, size_t max_bytes) {
  ReadableFile file;
  std::string text;
  if (file.OpenKernelFile(path) != 0 || ReadWhole(file, max_bytes, text) != 0) {
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> ReadFileHead(const std::string& path, size_t max_bytes,
                                        LinkPolicy links) {
  ReadableFile file;
  std::string text;
  if (file.Open(path, links) != 0 || file.ReadUpTo(text, max_bytes) != 0) return std::nullopt;
  return text;
}

WritableFile::~WritableFile() {
  Close();
}

int WritableFile::Open(const std::string& path, WriteMode mode, LinkPolicy links,
                       mode_t create_mode) {
  Close();
  // Non-blocking, so that a FIFO without a reader fails at once (ENXIO)
  // instead of waiting for one; nothing is emptied before the type is checked.
  int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
  if (mode == WriteMode::kAppend) flags |= O_APPEND;
  if (links == LinkPolicy::kNoFollow) flags |= O_NOFOLLOW;
  const int fd = open(path.c_str(), flags, create_mode);
  if (fd < 0) return errno;
  int err = CheckDescriptor(fd);
  if (err == 0 && mode == WriteMode::kTruncate && ftruncate(fd, 0) != 0) err = errno;
  if (err != 0) {
    close(fd);
    return err;
  }
  fd_ = fd;
  return 0;
}

int WritableFile::Write(std::string_view bytes) {
  if (fd_ < 0) return EBADF;
  return WriteAllBytes(fd_, bytes);
}

int WritableFile::Close() {
  if (fd_ < 0) return 0;
  const int result = close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  return result;
}

int WriteRegularFile(const std::string& path, std::string_view bytes, WriteMode mode,
                     mode_t create_mode) {
  WritableFile file;
  if (const int err = file.Open(path, mode, LinkPolicy::kFollow, create_mode)) return err;
  const int err = file.Write(bytes);
  const int close_err = file.Close();
  return err != 0 ? err : close_err;
}

int WriteAllBytes(int fd, std::string_view bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // no progress: never spin on a write that takes nothing
    done += static_cast<size_t>(n);
  }
  return 0;
}

int WriteFileAtomic(const std::string& path, std::string_view bytes, bool sync) {
  const std::optional<std::string> target = ResolveLinks(path);
  if (!target) return ELOOP;
  struct stat former {};
  const bool exists = lstat(target->c_str(), &former) == 0;
  if (!exists && errno != ENOENT) return errno;
  if (exists) {
    if (const int err = RegularFileCheck(former.st_mode)) return err;
  }
  const std::string folder = FolderOf(*target);
  const std::string name = NameOf(*target);
  RemoveStaleTemporaries(folder, name);

  int fd = -1;
  std::string temp;
  if (const int err = CreateTemporary(folder, name, fd, temp)) return err;
  int err = WriteAllBytes(fd, bytes);
  if (err == 0) err = GiveModeAndOwner(fd, exists ? &former : nullptr);
  if (err == 0 && sync && fsync(fd) != 0) err = errno;
  if (err == 0 && rename(temp.c_str(), target->c_str()) != 0) err = errno;
  if (err != 0) unlink(temp.c_str());
  // Closed only now: the lock keeps a clean-up from taking the file before the
  // rename. With sync, fsync has already reported any failed write.
  close(fd);
  if (err == 0 && sync) SyncFolder(folder);
  return err;
}

std::optional<std::string> ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
    struct stat info {};
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    char target[PATH_MAX];
    const ssize_t length = readlink(current.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return current;
    const std::string next(target, static_cast<size_t>(length));
    current = next.front() == '/' ? next : FolderOf(current) + "/" + next;
  }
  return std::nullopt;
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace platform
