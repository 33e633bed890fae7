#pragma once
// File access for every program: reading regular files within a bound the
// caller gives, writing and appending, and replacing a file's content in one
// step. Opening never waits: a FIFO or a device where a file is expected is
// refused at once instead of holding the caller for good, and no read takes
// more memory than its caller allows.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Whether the last component of a path may be a symbolic link.
enum class LinkPolicy { kFollow, kNoFollow };

// How a file is written: emptied first, or added to at its end.
enum class WriteMode { kTruncate, kAppend };

// A regular file open for reading. The descriptor is opened non-blocking and
// close-on-exec and checked with fstat before anything is read. Reads go on
// until the end of the file, never trusting its reported size (/proc and /sys
// files report 0).
class ReadableFile {
 public:
  ReadableFile() = default;
  ~ReadableFile();
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;

  // Opens path. Returns 0, or the errno value: ENOENT, EACCES, ...; ELOOP for a
  // link under kNoFollow; EISDIR for a folder; EINVAL for anything else that is
  // not a regular file (FIFO, device, socket).
  int Open(const std::string& path, LinkPolicy links = LinkPolicy::kFollow);
  // Opens a file the kernel makes under /proc or /sys (or its copy below a
  // test root) without the type check: those are regular files by
  // construction, and the check's system call would cost every sampling pass
  // dozens of them. Returns 0 or the errno value.
  int OpenKernelFile(const std::string& path);
  // Appends to text what the file holds next, until text holds max_size bytes
  // or the file ends. Returns 0, or the errno value of the failed read.
  int ReadUpTo(std::string& text, size_t max_size);
  // Whether a read has met the end of the file.
  bool AtEnd() const { return at_end_; }

 private:
  void Close();

  int fd_ = -1;
  bool at_end_ = false;
};

// Reads a whole regular file of at most max_bytes into text. Returns 0, or the
// errno value as ReadableFile::Open gives it, or EFBIG when the file holds more
// than max_bytes (text is then empty).
int ReadRegularFile(const std::string& path, size_t max_bytes, std::string& text,
                    LinkPolicy links = LinkPolicy::kFollow);
// The same, for callers that need no cause: nothing when it cannot be read.
std::optional<std::string> ReadFileText(const std::string& path, size_t max_bytes,
                                        LinkPolicy links = LinkPolicy::kFollow);
// ReadFileText for a file the kernel makes (see ReadableFile::OpenKernelFile).
std::optional<std::string> ReadKernelFileText(const std::string& path, size_t max_bytes);
// The first max_bytes of a regular file (all of a shorter one); a longer file
// is cut, not refused. Nothing when it cannot be read.
std::optional<std::string> ReadFileHead(const std::string& path, size_t max_bytes,
                                        LinkPolicy links = LinkPolicy::kFollow);

// A regular file open for writing: created when missing (with create_mode,
// less the umask), refused without waiting when something else is there.
class WritableFile {
 public:
  WritableFile() = default;
  ~WritableFile();
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  // Opens path for writing. Returns 0, or the errno value (EISDIR for a folder,
  // EINVAL for any other file that is not regular, ELOOP for a link under
  // kNoFollow). A FIFO is never emptied nor waited on.
  int Open(const std::string& path, WriteMode mode, LinkPolicy links = LinkPolicy::kFollow,
           mode_t create_mode = 0666);
  // Writes all of bytes. Returns 0, or the errno value of the failed write.
  int Write(std::string_view bytes);
  // Closes the file. Returns 0, or the errno value of the failed close.
  int Close();

 private:
  int fd_ = -1;
};

// Opens, writes all of bytes and closes. Returns 0 or the errno value.
int WriteRegularFile(const std::string& path, std::string_view bytes, WriteMode mode,
                     mode_t create_mode = 0666);

// Writes all of bytes to the open descriptor, going on after interruptions and
// short writes. Returns 0, or the errno value of the failed write (EIO for a
// write that took nothing).
int WriteAllBytes(int fd, std::string_view bytes);

// Replaces the content of path so that a reader sees either the former bytes or
// the new ones, never a part: the bytes go to a hidden temporary file beside
// the file, which is renamed over it. A symbolic link at path is kept and its
// target replaced; the former file's mode and owner are kept (mode 0644 for a
// new file; an owner this process may not give is left as the process's own).
// A temporary file that an earlier save left behind when it was cut short is
// removed first. With sync, the file and then its folder are flushed to disk.
// Returns 0 or the errno value (EISDIR or EINVAL when the target exists and is
// not a regular file); on failure the former file is left as it was.
int WriteFileAtomic(const std::string& path, std::string_view bytes, bool sync);

// The path a chain of symbolic links at path ends in (path itself when it is
// no link); the final target need not exist. Nothing for a loop.
std::optional<std::string> ResolveLinks(const std::string& path);

// Whether a regular file (following links) or a folder is at path.
bool IsRegularFile(const std::string& path);
bool IsFolder(const std::string& path);

}  // namespace platform
