#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

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
  // The temporary file is hidden (leading dot) so that listings skip it.
  size_t slash = path.rfind('/');
  std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = WriteAllBytes(fd, bytes);
  if (err == 0 && fchmod(fd, 0644) != 0) err = errno;
  if (err == 0 && sync && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) unlink(temp.c_str());
  return err;
}

}  // namespace platform
