#pragma once
// What the running program itself uses of the machine: processor time, memory,
// descriptors and its start time, as a monitoring endpoint reports them about
// its own process.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct ProcessUsage {
  double CpuSeconds = 0;       // user and system time together
  uint64_t ResidentBytes = 0;  // resident set
  uint64_t VirtualBytes = 0;   // size of the address space
  double StartTime = 0;        // seconds since 1970-01-01 00:00 UTC
  std::optional<uint64_t> OpenDescriptors;  // nothing when they cannot be counted
  std::optional<uint64_t> MaxDescriptors;   // the soft limit; nothing when unlimited
};

// The usage from the texts of /proc/<pid>/stat and /proc/<pid>/statm, the boot
// time (seconds since 1970), the clock ticks per second and the page size in
// bytes. The descriptor fields are left empty. Nothing when a text is malformed
// or the tick rate or page size is not positive.
std::optional<ProcessUsage> ParseProcessUsage(std::string_view stat, std::string_view statm,
                                              int64_t boot_time, long ticks_per_second,
                                              long page_size);

// The usage of the calling process, read below root ("/" on a live system);
// the boot time is read once per program. Nothing when /proc cannot be read.
std::optional<ProcessUsage> ReadOwnProcessUsage(const std::string& root = "/");

}  // namespace platform
