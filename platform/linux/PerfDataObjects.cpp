#include "platform/linux/PerfDataObjects.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/Drives.h"
#include "platform/Wait.h"

namespace platform {
namespace {

constexpr int64_t k100nsPerSecond = 10000000;
constexpr uint64_t kMebibyte = 1024 * 1024;
constexpr uint32_t kInterfaceUp = 0x1;  // IFF_UP

PerfObjectData NewObject(DWORD index, const PerfClock& clock) {
  PerfObjectData object;
  object.NameIndex = index;
  object.DefaultCounter = 0;
  // Elapsed-time counters are read against the object clock: now, in 100 ns
  // units since 1601, so a raw start time in the same units gives seconds.
  object.PerfTime = clock.FileTimeNow;
  object.PerfFreq = k100nsPerSecond;
  return object;
}

void AddCounter(PerfObjectData& object, DWORD index, DWORD type) {
  object.Counters.push_back(PerfCounterDef{index, type});
}

// A base counter carries the index of the counter it serves, so that every
// definition has a name in the catalogue.
void AddFraction(PerfObjectData& object, DWORD index) {
  AddCounter(object, index, PERF_RAW_FRACTION);
  AddCounter(object, index, PERF_RAW_BASE);
}

uint64_t PageSize() {
  static const uint64_t size = [] {
    const long value = sysconf(_SC_PAGESIZE);
    return value > 0 ? static_cast<uint64_t>(value) : uint64_t{4096};
  }();
  return size;
}

// Commit limit with the Windows meaning (RAM + page file), unless the kernel
// enforces its own limit (overcommit mode 2), which is then the true one.
uint64_t CommitLimit(ProcSources& sources, const MemInfo& memory) {
  const auto mode = ReadProcText(sources.Root(), "proc/sys/vm/overcommit_memory");
  if (mode && !mode->empty() && mode->front() == '2' && memory.CommitLimit > 0) {
    return memory.CommitLimit;
  }
  return memory.MemTotal + memory.SwapTotal;
}

}  // namespace

const ProcStat* ProcSources::Stat() {
  if (!stat_) {
    const auto text = ReadProcText(root_, "proc/stat");
    stat_ = text ? std::optional<ProcStat>(ParseProcStat(*text)) : std::nullopt;
  }
  return stat_->has_value() ? &**stat_ : nullptr;
}

const MemInfo* ProcSources::Memory() {
  if (!memory_) {
    const auto text = ReadProcText(root_, "proc/meminfo");
    memory_ = text ? std::optional<MemInfo>(ParseMemInfo(*text)) : std::nullopt;
  }
  return memory_->has_value() ? &**memory_ : nullptr;
}

uint64_t ProcSources::ProcessCount() {
  if (!process_count_) process_count_ = ListProcessIds(root_).size();
  return *process_count_;
}

uint64_t ProcSources::ThreadCount() {
  if (thread_count_) return *thread_count_;
  // In the first pid namespace the kernel's own count of threads is exact and
  // costs one read. Elsewhere /proc/loadavg counts the whole host, so the
  // threads of the visible processes are added up instead.
  if (InInitialPidNamespace(root_)) {
    if (const auto text = ReadProcText(root_, "proc/loadavg")) {
      if (const auto load = ParseLoadAvg(*text)) {
        thread_count_ = load->Total;
        return *thread_count_;
      }
    }
  }
  uint64_t threads = 0;
  for (const int pid : ListProcessIds(root_)) {
    YieldPoint();
    const auto text = ReadProcText(root_, "proc/" + std::to_string(pid) + "/stat");
    if (!text) continue;
    if (const auto stat = ParseProcessStat(*text)) {
      threads += static_cast<uint64_t>(std::max<int64_t>(stat->Threads, 0));
    }
  }
  thread_count_ = threads;
  return threads;
}

uint64_t ProcSources::TicksTo100ns(uint64_t ticks) const {
  const auto hz = static_cast<uint64_t>(std::max<int64_t>(clock_.TicksPerSecond, 1));
  return ticks / hz * k100nsPerSecond + ticks % hz * k100nsPerSecond / hz;
}

int64_t ProcSources::BootFileTime() {
  if (boot_file_time_) return *boot_file_time_;
  // The kernel's own boot time stays the same from block to block; now minus
  // the up time would move with every reading.
  int64_t boot = clock_.FileTimeNow;
  if (const ProcStat* stat = Stat(); stat != nullptr && stat->BootTime) {
    boot = *stat->BootTime * k100nsPerSecond + kUnixEpochAsFileTime;
  } else if (const auto text = ReadProcText(root_, "proc/uptime")) {
    if (const auto seconds = ParseUptime(*text)) {
      boot -= static_cast<int64_t>(std::llround(*seconds * k100nsPerSecond));
    }
  }
  boot_file_time_ = boot;
  return boot;
}

std::optional<PerfObjectData> BuildSystemObject(ProcSources& sources) {
  const ProcStat* stat = sources.Stat();
  if (stat == nullptr) return std::nullopt;
  PerfObjectData object = NewObject(kSystemObject, sources.Clock());
  AddCounter(object, 44, PERF_COUNTER_RAWCOUNT);   // Processor Queue Length
  AddCounter(object, 146, PERF_COUNTER_COUNTER);   // Context Switches/sec
  AddCounter(object, 248, PERF_COUNTER_RAWCOUNT);  // Processes
  AddCounter(object, 250, PERF_COUNTER_RAWCOUNT);  // Threads
  AddCounter(object, 674, PERF_ELAPSED_TIME);      // System Up Time
  // procs_running counts the threads on a processor too; the queue is what
  // exceeds the processors.
  const uint64_t processors = stat->Cpus.size();
  const uint64_t queued = stat->ProcsRunning > processors ? stat->ProcsRunning - processors : 0;
  object.Instances.push_back(
      {"",
       {queued, stat->ContextSwitches, sources.ProcessCount(), sources.ThreadCount(),
        static_cast<uint64_t>(sources.BootFileTime())}});
  return object;
}

std::optional<PerfObjectData> BuildMemoryObject(ProcSources& sources) {
  const MemInfo* memory = sources.Memory();
  if (memory == nullptr) return std::nullopt;
  const uint64_t limit = CommitLimit(sources, *memory);
  PerfObjectData object = NewObject(kMemoryObject, sources.Clock());
  PerfInstanceData values;
  AddCounter(object, 24, PERF_COUNTER_LARGE_RAWCOUNT);  // Available Bytes
  values.Values.push_back(memory->MemAvailable);
  AddCounter(object, 26, PERF_COUNTER_LARGE_RAWCOUNT);  // Committed Bytes
  values.Values.push_back(memory->CommittedAs);
  if (const auto vmstat = ReadProcText(sources.Root(), "proc/vmstat")) {
    if (const auto faults = ParseKeyedNumber(*vmstat, "pgfault")) {
      AddCounter(object, 28, PERF_COUNTER_COUNTER);  // Page Faults/sec
      values.Values.push_back(*faults);
    }
  }
  AddCounter(object, 30, PERF_COUNTER_LARGE_RAWCOUNT);  // Commit Limit
  values.Values.push_back(limit);
  AddCounter(object, 1380, PERF_COUNTER_LARGE_RAWCOUNT);  // Available KBytes
  values.Values.push_back(memory->MemAvailable / 1024);
  AddCounter(object, 1382, PERF_COUNTER_LARGE_RAWCOUNT);  // Available MBytes
  values.Values.push_back(memory->MemAvailable / kMebibyte);
  AddFraction(object, 1406);  // % Committed Bytes In Use, in KiB to fit 32 bits
  values.Values.push_back(memory->CommittedAs / 1024);
  values.Values.push_back(limit / 1024);
  object.Instances.push_back(std::move(values));
  return object;
}

std::optional<PerfObjectData> BuildProcessorObject(ProcSources& sources) {
  const ProcStat* stat = sources.Stat();
  if (stat == nullptr || stat->Cpus.empty()) return std::nullopt;
  std::map<int, uint64_t> interrupts;
  if (const auto text = ReadProcText(sources.Root(), "proc/interrupts")) {
    interrupts = ParseInterruptsPerCpu(*text);
  }
  PerfObjectData object = NewObject(kProcessorObject, sources.Clock());
  object.HasInstances = true;
  AddCounter(object, 6, PERF_100NSEC_TIMER_INV);  // % Processor Time: raw = idle time
  AddCounter(object, 142, PERF_100NSEC_TIMER);    // % User Time
  AddCounter(object, 144, PERF_100NSEC_TIMER);    // % Privileged Time
  const bool has_interrupts = !interrupts.empty();
  if (has_interrupts) AddCounter(object, 148, PERF_COUNTER_COUNTER);  // Interrupts/sec
  AddCounter(object, 696, PERF_100NSEC_TIMER);                        // % DPC Time (softirq)
  AddCounter(object, 698, PERF_100NSEC_TIMER);                        // % Interrupt Time (irq)

  std::vector<uint64_t> totals;
  for (const CpuTimes& cpu : stat->Cpus) {
    PerfInstanceData instance;
    instance.Name = std::to_string(cpu.Number);
    // Waiting for I/O is idle time on Windows too; privileged time includes
    // the time spent in interrupts and deferred calls.
    instance.Values.push_back(sources.TicksTo100ns(cpu.Idle + cpu.IoWait));
    instance.Values.push_back(sources.TicksTo100ns(cpu.User + cpu.Nice));
    instance.Values.push_back(sources.TicksTo100ns(cpu.System + cpu.Irq + cpu.SoftIrq));
    if (has_interrupts) {
      const auto found = interrupts.find(cpu.Number);
      instance.Values.push_back(found == interrupts.end() ? 0 : found->second);
    }
    instance.Values.push_back(sources.TicksTo100ns(cpu.SoftIrq));
    instance.Values.push_back(sources.TicksTo100ns(cpu.Irq));
    totals.resize(instance.Values.size(), 0);
    for (size_t i = 0; i < totals.size(); ++i) totals[i] += instance.Values[i];
    object.Instances.push_back(std::move(instance));
  }
  // _Total: the timers average over the processors so that the one-processor
  // formula yields 0..100; the interrupt count is the sum.
  const uint64_t count = stat->Cpus.size();
  for (size_t i = 0; i < totals.size(); ++i) {
    const bool is_interrupts = has_interrupts && i == 3;
    if (!is_interrupts) totals[i] /= count;
  }
  object.Instances.push_back({"_Total", std::move(totals)});
  return object;
}

std::optional<PerfObjectData> BuildObjectsObject(ProcSources& sources) {
  PerfObjectData object = NewObject(kObjectsObject, sources.Clock());
  AddCounter(object, 248, PERF_COUNTER_RAWCOUNT);  // Processes
  AddCounter(object, 250, PERF_COUNTER_RAWCOUNT);  // Threads
  object.Instances.push_back({"", {sources.ProcessCount(), sources.ThreadCount()}});
  return object;
}

std::optional<PerfObjectData> BuildNetworkInterfaceObject(ProcSources& sources) {
  const auto text = ReadProcText(sources.Root(), "proc/net/dev");
  if (!text) return std::nullopt;
  std::vector<NetDevice> devices = ParseNetDev(*text);
  // Windows lists the adapters that are enabled, and its loopback interface
  // after them; an interface that is administratively down is left out.
  std::erase_if(devices, [&](const NetDevice& device) {
    const auto flags = ReadLinkFlags(sources.Root(), device.Name);
    return flags && (*flags & kInterfaceUp) == 0;
  });
  std::stable_partition(devices.begin(), devices.end(),
                        [](const NetDevice& device) { return device.Name != "lo"; });
  PerfObjectData object = NewObject(kNetworkInterfaceObject, sources.Clock());
  object.HasInstances = true;
  // The order of a Windows machine: a reader that matches names by substring
  // finds "Packets Received" in Packets Received/sec before the others.
  AddCounter(object, 388, PERF_COUNTER_BULK_COUNT);      // Bytes Total/sec
  AddCounter(object, 400, PERF_COUNTER_BULK_COUNT);      // Packets/sec
  AddCounter(object, 266, PERF_COUNTER_BULK_COUNT);      // Packets Received/sec
  AddCounter(object, 452, PERF_COUNTER_BULK_COUNT);      // Packets Sent/sec
  AddCounter(object, 520, PERF_COUNTER_LARGE_RAWCOUNT);  // Current Bandwidth
  AddCounter(object, 264, PERF_COUNTER_BULK_COUNT);      // Bytes Received/sec
  AddCounter(object, 528, PERF_COUNTER_LARGE_RAWCOUNT);  // Packets Received Discarded
  AddCounter(object, 530, PERF_COUNTER_LARGE_RAWCOUNT);  // Packets Received Errors
  AddCounter(object, 506, PERF_COUNTER_BULK_COUNT);      // Bytes Sent/sec
  AddCounter(object, 540, PERF_COUNTER_LARGE_RAWCOUNT);  // Packets Outbound Discarded
  AddCounter(object, 542, PERF_COUNTER_LARGE_RAWCOUNT);  // Packets Outbound Errors
  for (const NetDevice& device : devices) {
    const uint64_t bandwidth = ReadLinkSpeed(sources.Root(), device.Name).value_or(0);
    object.Instances.push_back(
        {device.Name,
         {device.RxBytes + device.TxBytes, device.RxPackets + device.TxPackets, device.RxPackets,
          device.TxPackets, bandwidth, device.RxBytes, device.RxDropped, device.RxErrors,
          device.TxBytes, device.TxDropped, device.TxErrors}});
  }
  return object;
}

std::optional<PerfObjectData> BuildLogicalDiskObject(ProcSources& sources) {
  const std::vector<DriveInfo> drives = ListDrives(sources.Root());
  PerfObjectData object = NewObject(kLogicalDiskObject, sources.Clock());
  object.HasInstances = true;
  AddFraction(object, 408);                        // % Free Space, in MiB
  AddCounter(object, 410, PERF_COUNTER_RAWCOUNT);  // Free Megabytes
  uint64_t total_free = 0;
  uint64_t total_size = 0;
  for (const DriveInfo& drive : drives) {
    if (!drive.IsReady) continue;
    const uint64_t free_mib = drive.FreeSpace / kMebibyte;
    const uint64_t size_mib = drive.TotalSize / kMebibyte;
    object.Instances.push_back({drive.Path, {free_mib, size_mib, free_mib}});
    total_free += free_mib;
    total_size += size_mib;
  }
  if (object.Instances.empty()) return std::nullopt;
  object.Instances.push_back({"_Total", {total_free, total_size, total_free}});
  return object;
}

std::optional<PerfObjectData> BuildProcessObject(ProcSources& sources) {
  struct Entry {
    ProcessStat Stat;
    ProcessStatm Pages;
  };
  std::vector<Entry> entries;
  for (const int pid : ListProcessIds(sources.Root())) {
    YieldPoint();
    const std::string folder = "proc/" + std::to_string(pid);
    const auto stat_text = ReadProcText(sources.Root(), folder + "/stat");
    if (!stat_text) continue;  // ended since the folder was listed
    const auto stat = ParseProcessStat(*stat_text);
    if (!stat) continue;
    Entry entry{*stat, {}};
    // statm's resident set is exact; stat's rss is the kernel's approximation.
    if (const auto statm = ReadProcText(sources.Root(), folder + "/statm")) {
      entry.Pages = ParseStatm(*statm).value_or(ProcessStatm{});
    }
    entries.push_back(std::move(entry));
  }
  // Instances of one program stay together, so a reader numbers them
  // name#0, name#1, ... in pid order.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.Stat.Command != b.Stat.Command ? a.Stat.Command < b.Stat.Command
                                            : a.Stat.Pid < b.Stat.Pid;
  });

  PerfObjectData object = NewObject(kProcessObject, sources.Clock());
  object.HasInstances = true;
  AddCounter(object, 6, PERF_100NSEC_TIMER);             // % Processor Time: raw = time used
  AddCounter(object, 142, PERF_100NSEC_TIMER);           // % User Time
  AddCounter(object, 144, PERF_100NSEC_TIMER);           // % Privileged Time
  AddCounter(object, 174, PERF_COUNTER_LARGE_RAWCOUNT);  // Virtual Bytes
  AddCounter(object, 28, PERF_COUNTER_COUNTER);          // Page Faults/sec
  AddCounter(object, 180, PERF_COUNTER_LARGE_RAWCOUNT);  // Working Set
  AddCounter(object, 186, PERF_COUNTER_LARGE_RAWCOUNT);  // Private Bytes
  AddCounter(object, 680, PERF_COUNTER_RAWCOUNT);        // Thread Count
  AddCounter(object, 684, PERF_ELAPSED_TIME);            // Elapsed Time
  AddCounter(object, 784, PERF_COUNTER_RAWCOUNT);        // ID Process
  AddCounter(object, 1410, PERF_COUNTER_RAWCOUNT);       // Creating Process ID

  const int64_t boot = sources.BootFileTime();
  std::vector<uint64_t> totals(object.Counters.size(), 0);
  for (const Entry& entry : entries) {
    const ProcessStat& stat = entry.Stat;
    const uint64_t user = sources.TicksTo100ns(stat.UserTicks);
    const uint64_t privileged = sources.TicksTo100ns(stat.SystemTicks);
    const uint64_t threads = static_cast<uint64_t>(std::max<int64_t>(stat.Threads, 0));
    PerfInstanceData instance{
        stat.Command,
        {user + privileged, user, privileged, stat.VirtualBytes,
         stat.MinorFaults + stat.MajorFaults, entry.Pages.ResidentPages * PageSize(),
         entry.Pages.DataPages * PageSize(), threads,
         static_cast<uint64_t>(boot) + sources.TicksTo100ns(stat.StartTicks),
         static_cast<uint64_t>(stat.Pid), static_cast<uint64_t>(std::max(stat.ParentPid, 0))}};
    for (size_t i = 0; i < 8; ++i) totals[i] += instance.Values[i];
    object.Instances.push_back(std::move(instance));
  }
  totals[8] = static_cast<uint64_t>(boot);
  object.Instances.push_back({"_Total", std::move(totals)});
  return object;
}

}  // namespace platform
