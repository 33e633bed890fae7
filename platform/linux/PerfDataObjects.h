#pragma once
// The performance objects this machine provides, each filled from /proc and
// /sys below a root folder. Shared by the block builder and its tests.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/PerfData.h"
#include "platform/linux/ProcReaders.h"

namespace platform {

// The moment a block describes.
struct PerfClock {
  int64_t FileTimeNow = 0;       // 100 ns units since 1601, UTC
  int64_t TicksPerSecond = 100;  // USER_HZ of the /proc tick counts
};

// The texts behind one block, each read at most once and only when an object
// needs it, so a block costs no more reads than its objects require.
class ProcSources {
 public:
  ProcSources(std::string root, PerfClock clock) : root_(std::move(root)), clock_(clock) {}

  const std::string& Root() const { return root_; }
  const PerfClock& Clock() const { return clock_; }
  // Nothing (nullptr) when the file cannot be read.
  const ProcStat* Stat();
  const MemInfo* Memory();
  uint64_t ProcessCount();
  uint64_t ThreadCount();
  // 100 ns units of clock ticks (ticks x 10^7 / USER_HZ).
  uint64_t TicksTo100ns(uint64_t ticks) const;
  // Boot time as a FILETIME, from btime of /proc/stat (else now minus
  // /proc/uptime); the present moment when unknown.
  int64_t BootFileTime();

 private:
  std::string root_;
  PerfClock clock_;
  std::optional<std::optional<ProcStat>> stat_;
  std::optional<std::optional<MemInfo>> memory_;
  std::optional<uint64_t> process_count_;
  std::optional<uint64_t> thread_count_;
  std::optional<int64_t> boot_file_time_;
};

// Each returns nothing when the machine cannot provide the object at all.
std::optional<PerfObjectData> BuildSystemObject(ProcSources& sources);
std::optional<PerfObjectData> BuildMemoryObject(ProcSources& sources);
std::optional<PerfObjectData> BuildProcessObject(ProcSources& sources);
std::optional<PerfObjectData> BuildLogicalDiskObject(ProcSources& sources);
std::optional<PerfObjectData> BuildProcessorObject(ProcSources& sources);
std::optional<PerfObjectData> BuildObjectsObject(ProcSources& sources);
std::optional<PerfObjectData> BuildNetworkInterfaceObject(ProcSources& sources);

}  // namespace platform
