#pragma once
// The sizes of mounted filesystems, read on threads of their own. A filesystem
// that answers slowly (a network mount whose server has gone) must not hold the
// caller: the caller waits through WaitReadable (platform/Wait.h) at most a
// time limit, and a filesystem that has not answered by then counts as not
// ready. While one has not answered it is not asked again.

#include <sys/statvfs.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr std::chrono::seconds kFileSystemAnswerLimit{2};

// statvfs of each path, in order; nothing for a path that failed or did not
// answer within the limit.
std::vector<std::optional<struct statvfs>> ReadFileSystemSizes(
    const std::vector<std::string>& paths,
    std::chrono::milliseconds limit = kFileSystemAnswerLimit);

}  // namespace platform
