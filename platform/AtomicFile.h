#pragma once
// Replacing a file so that a reader sees either the old bytes or the new ones,
// never a half-written file.

#include <string>
#include <string_view>

namespace platform {

// Writes bytes to a hidden temporary file beside path (mode 0644), flushes it
// to disk when sync is set, and renames it over path. On failure the temporary
// file is removed and path is left as it was. Returns 0 or the errno value.
int WriteFileAtomic(const std::string& path, std::string_view bytes, bool sync);

}  // namespace platform
