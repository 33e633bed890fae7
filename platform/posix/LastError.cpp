#include <cerrno>

#include "platform/WinTypes.h"

namespace platform {
namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

DWORD WinErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return 3;  // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case EEXIST:
      return 183;  // ERROR_ALREADY_EXISTS
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ETIMEDOUT:
      return 1460;  // ERROR_TIMEOUT
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

}  // namespace platform
