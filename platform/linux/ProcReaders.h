#pragma once
// Readers and parsers of the /proc and /sys texts behind the performance data.
// Readers take a root folder ("/" on a live system) and return text; parsers
// take the text, so captured texts of other machines can be fed to them.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// root + "/" + relative, with exactly one slash between them.
std::string JoinRoot(const std::string& root, std::string_view relative);

// The text without the blanks, tabs and line ends around it.
std::string_view TrimWhite(std::string_view text);

// The most a /proc or /sys text is read to; a larger one counts as unreadable.
inline constexpr size_t kMaxProcTextBytes = 16 << 20;

// The text of root + relative ("proc/stat"); nothing when it cannot be read
// (not a regular file, or larger than kMaxProcTextBytes).
std::optional<std::string> ReadProcText(const std::string& root, std::string_view relative);

// Processor times of one "cpuN" line of /proc/stat, in clock ticks (USER_HZ).
struct CpuTimes {
  int Number = 0;
  uint64_t User = 0;
  uint64_t Nice = 0;
  uint64_t System = 0;
  uint64_t Idle = 0;
  uint64_t IoWait = 0;
  uint64_t Irq = 0;
  uint64_t SoftIrq = 0;
  uint64_t Steal = 0;
};

struct ProcStat {
  std::vector<CpuTimes> Cpus;  // one per online processor, in file order
  uint64_t ContextSwitches = 0;
  uint64_t Interrupts = 0;  // all processors together
  uint64_t ProcsRunning = 0;
  std::optional<int64_t> BootTime;  // btime: seconds since 1970, UTC
};

// /proc/stat. Lines it does not know are skipped; missing ones read 0.
ProcStat ParseProcStat(std::string_view text);

// Figures of /proc/meminfo in bytes (the file's kB are 1024 bytes); 0 when absent.
struct MemInfo {
  uint64_t MemTotal = 0;
  uint64_t MemFree = 0;
  uint64_t MemAvailable = 0;  // estimated from free + buffers + cached on kernels without it
  uint64_t SwapTotal = 0;
  uint64_t SwapFree = 0;
  uint64_t CommitLimit = 0;
  uint64_t CommittedAs = 0;
};

MemInfo ParseMemInfo(std::string_view text);

// The number after key in a text of "key value" lines (/proc/vmstat).
std::optional<uint64_t> ParseKeyedNumber(std::string_view text, std::string_view key);

// /proc/loadavg: runnable and total scheduling entities (threads).
struct LoadAvg {
  uint64_t Runnable = 0;
  uint64_t Total = 0;
};
std::optional<LoadAvg> ParseLoadAvg(std::string_view text);

// /proc/uptime: seconds since boot.
std::optional<double> ParseUptime(std::string_view text);

// One interface of /proc/net/dev.
struct NetDevice {
  std::string Name;
  uint64_t RxBytes = 0;
  uint64_t RxPackets = 0;
  uint64_t RxErrors = 0;
  uint64_t RxDropped = 0;
  uint64_t TxBytes = 0;
  uint64_t TxPackets = 0;
  uint64_t TxErrors = 0;
  uint64_t TxDropped = 0;
};

// /proc/net/dev, interfaces in file order; malformed lines are skipped.
std::vector<NetDevice> ParseNetDev(std::string_view text);

// /proc/interrupts summed per processor column: processor number -> count.
std::map<int, uint64_t> ParseInterruptsPerCpu(std::string_view text);

// The fields of /proc/<pid>/stat that the Process object reports.
struct ProcessStat {
  int Pid = 0;
  std::string Command;  // between the parentheses; may hold blanks and ')'
  int ParentPid = 0;
  uint64_t MinorFaults = 0;
  uint64_t MajorFaults = 0;
  uint64_t UserTicks = 0;
  uint64_t SystemTicks = 0;
  int64_t Threads = 0;
  uint64_t StartTicks = 0;  // after boot
  uint64_t VirtualBytes = 0;
};
std::optional<ProcessStat> ParseProcessStat(std::string_view text);

// /proc/<pid>/statm: the resident set and the data + stack field, in pages.
struct ProcessStatm {
  uint64_t ResidentPages = 0;
  uint64_t DataPages = 0;
};
std::optional<ProcessStatm> ParseStatm(std::string_view text);

// The process ids listed in root/proc.
std::vector<int> ListProcessIds(const std::string& root);

// Whether root/proc belongs to the first pid namespace, where /proc/loadavg
// counts exactly the threads /proc can show. False when unknown.
bool InInitialPidNamespace(const std::string& root);

// /sys/class/net/<name>/flags (IFF_UP is bit 0); nothing when unknown.
std::optional<uint32_t> ReadLinkFlags(const std::string& root, const std::string& name);

// /sys/class/net/<name>/speed in bits per second; nothing when unknown.
std::optional<uint64_t> ReadLinkSpeed(const std::string& root, const std::string& name);

}  // namespace platform
