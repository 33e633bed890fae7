#pragma once
// The memory status of the machine in the manner of GlobalMemoryStatus, with
// every amount in 64 bits so that no amount wraps on large machines.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct MemoryStatus {
  uint32_t MemoryLoad = 0;     // 0..100, percent of physical memory in use
  uint64_t TotalPhys = 0;      // bytes of RAM
  uint64_t AvailPhys = 0;      // RAM usable without swapping
  uint64_t TotalPageFile = 0;  // commit limit: RAM + swap (the kernel's limit in strict mode)
  uint64_t AvailPageFile = 0;  // commit limit minus what is committed, at least 0
  uint64_t TotalVirtual = 0;   // user address space of this process
  uint64_t AvailVirtual = 0;   // that space minus this process's mappings
};

// The status computed from the texts of /proc/meminfo, /proc/sys/vm/
// overcommit_memory and /proc/self/status (empty texts count as absent).
MemoryStatus ParseMemoryStatus(std::string_view meminfo, std::string_view overcommit_mode,
                               std::string_view self_status);

// The status of this machine read below root; nothing when /proc/meminfo
// cannot be read.
std::optional<MemoryStatus> GlobalMemoryStatus(const std::string& root = "/");

}  // namespace platform
