#include "platform/MemoryStatus.h"

#include <algorithm>

#include "platform/linux/ProcReaders.h"

namespace platform {
namespace {

// Size of the user part of the address space of a process of this build.
constexpr uint64_t UserAddressSpace() {
  if constexpr (sizeof(void*) == 4) {
    return uint64_t{1} << 32;  // a 32-bit process on a 64-bit kernel
  } else {
#if defined(__x86_64__)
    return (uint64_t{1} << 47) - 4096;
#else
    return uint64_t{1} << 48;
#endif
  }
}

// "VmSize:  1234 kB" of /proc/self/status, in bytes.
uint64_t VmSizeBytes(std::string_view status) {
  const size_t at = status.find("VmSize:");
  if (at == std::string_view::npos) return 0;
  std::string_view rest = status.substr(at + 7);
  const size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) return 0;
  rest.remove_prefix(start);
  uint64_t kib = 0;
  for (const char c : rest) {
    if (c < '0' || c > '9') break;
    kib = kib * 10 + static_cast<uint64_t>(c - '0');
  }
  return kib * 1024;
}

}  // namespace

MemoryStatus ParseMemoryStatus(std::string_view meminfo, std::string_view overcommit_mode,
                               std::string_view self_status) {
  const MemInfo info = ParseMemInfo(meminfo);
  MemoryStatus status;
  status.TotalPhys = info.MemTotal;
  status.AvailPhys = std::min(info.MemAvailable, info.MemTotal);
  if (status.TotalPhys > 0) {
    status.MemoryLoad =
        static_cast<uint32_t>((status.TotalPhys - status.AvailPhys) * 100 / status.TotalPhys);
  }
  // The Windows commit limit is RAM plus page file. Linux enforces a limit of
  // its own only in strict overcommit mode, and that one is then the truth.
  const bool strict = !overcommit_mode.empty() && overcommit_mode.front() == '2';
  status.TotalPageFile =
      strict && info.CommitLimit > 0 ? info.CommitLimit : info.MemTotal + info.SwapTotal;
  status.AvailPageFile =
      status.TotalPageFile > info.CommittedAs ? status.TotalPageFile - info.CommittedAs : 0;
  status.TotalVirtual = UserAddressSpace();
  const uint64_t used = VmSizeBytes(self_status);
  status.AvailVirtual = status.TotalVirtual > used ? status.TotalVirtual - used : 0;
  return status;
}

std::optional<MemoryStatus> GlobalMemoryStatus(const std::string& root) {
  const auto meminfo = ReadProcText(root, "proc/meminfo");
  if (!meminfo) return std::nullopt;
  const auto mode = ReadProcText(root, "proc/sys/vm/overcommit_memory");
  const auto self = ReadProcText(root, "proc/self/status");
  return ParseMemoryStatus(*meminfo, mode.value_or(""), self.value_or(""));
}

}  // namespace platform
