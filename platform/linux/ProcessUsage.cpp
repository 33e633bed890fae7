#include "platform/ProcessUsage.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/linux/ProcReaders.h"

namespace platform {
namespace {

// Entries of an open folder of /proc/self/fd, without "." and "..".
std::optional<uint64_t> CountDescriptors(const std::string& root) {
  const std::string path = JoinRoot(root, "proc/self/fd");
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return std::nullopt;
  uint64_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  // The folder's own descriptor was open while it was counted.
  return count > 0 ? count - 1 : 0;
}

std::optional<uint64_t> DescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}

std::optional<int64_t> BootTime(const std::string& root) {
  const auto text = ReadProcText(root, "proc/stat");
  if (!text) return std::nullopt;
  return ParseProcStat(*text).BootTime;
}

}  // namespace

std::optional<ProcessUsage> ParseProcessUsage(std::string_view stat, std::string_view statm,
                                              int64_t boot_time, long ticks_per_second,
                                              long page_size) {
  const auto process = ParseProcessStat(stat);
  const auto memory = ParseStatm(statm);
  if (!process || !memory || ticks_per_second <= 0 || page_size <= 0) return std::nullopt;
  const double ticks = static_cast<double>(ticks_per_second);
  ProcessUsage usage;
  usage.CpuSeconds = static_cast<double>(process->UserTicks + process->SystemTicks) / ticks;
  usage.ResidentBytes = memory->ResidentPages * static_cast<uint64_t>(page_size);
  usage.VirtualBytes = process->VirtualBytes;
  usage.StartTime = static_cast<double>(boot_time) + static_cast<double>(process->StartTicks) / ticks;
  return usage;
}

std::optional<ProcessUsage> ReadOwnProcessUsage(const std::string& root) {
  // The boot time never changes while the program runs; /proc/stat grows with
  // the processors, so it is read once.
  static const std::optional<int64_t> boot_time = BootTime(root);
  const auto stat = ReadProcText(root, "proc/self/stat");
  const auto statm = ReadProcText(root, "proc/self/statm");
  if (!stat || !statm || !boot_time) return std::nullopt;
  auto usage =
      ParseProcessUsage(*stat, *statm, *boot_time, sysconf(_SC_CLK_TCK), sysconf(_SC_PAGESIZE));
  if (!usage) return std::nullopt;
  usage->OpenDescriptors = CountDescriptors(root);
  usage->MaxDescriptors = DescriptorLimit();
  return usage;
}

}  // namespace platform
