#pragma once
// Replacing a file so that a reader sees either the old bytes or the new ones,
// never a half-written file.

#include <string>
#include <string_view>

namespace platform {

// Writes all of bytes to the open file fd, going on after interruptions and
// short writes. Returns 0, or the errno value of the failed write (EIO for a
// write that took nothing).
int WriteAllBytes(int fd, std::string_view bytes);

// Writes bytes to a hidden temporary file beside path (mode 0644), flushes it
// to disk when sync is set, and renames it over path. On failure the temporary
// file is removed and path is left as it was. Returns 0 or the errno value.
int WriteFileAtomic(const std::string& path, std::string_view bytes, bool sync);

}  // namespace platform
