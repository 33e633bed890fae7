// The English counter-name catalogue: the standard indices of the built-in
// objects and counters, as a Windows machine lists them under Perflib\009.

#include <algorithm>
#include <array>
#include <string>

#include "platform/PerfData.h"

namespace platform {
namespace {

struct CatalogueEntry {
  DWORD Index;
  const char* Name;
};

// Ascending by index. Names repeat on purpose (% Idle Time, Committed Bytes,
// Virtual Bytes): Windows lists them twice too, and a reader keeps the first.
constexpr std::array kEntries = {
    CatalogueEntry{2, "System"},
    CatalogueEntry{4, "Memory"},
    CatalogueEntry{6, "% Processor Time"},
    CatalogueEntry{10, "File Read Operations/sec"},
    CatalogueEntry{12, "File Write Operations/sec"},
    CatalogueEntry{14, "File Control Operations/sec"},
    CatalogueEntry{16, "File Read Bytes/sec"},
    CatalogueEntry{18, "File Write Bytes/sec"},
    CatalogueEntry{20, "File Control Bytes/sec"},
    CatalogueEntry{24, "Available Bytes"},
    CatalogueEntry{26, "Committed Bytes"},
    CatalogueEntry{28, "Page Faults/sec"},
    CatalogueEntry{30, "Commit Limit"},
    CatalogueEntry{40, "Pages/sec"},
    CatalogueEntry{42, "Page Reads/sec"},
    CatalogueEntry{44, "Processor Queue Length"},
    CatalogueEntry{46, "Thread State"},
    CatalogueEntry{48, "Pages Output/sec"},
    CatalogueEntry{56, "Pool Paged Bytes"},
    CatalogueEntry{58, "Pool Nonpaged Bytes"},
    CatalogueEntry{142, "% User Time"},
    CatalogueEntry{144, "% Privileged Time"},
    CatalogueEntry{146, "Context Switches/sec"},
    CatalogueEntry{148, "Interrupts/sec"},
    CatalogueEntry{150, "System Calls/sec"},
    CatalogueEntry{172, "Virtual Bytes Peak"},
    CatalogueEntry{174, "Virtual Bytes"},
    CatalogueEntry{178, "Working Set Peak"},
    CatalogueEntry{180, "Working Set"},
    CatalogueEntry{182, "Page File Bytes Peak"},
    CatalogueEntry{184, "Page File Bytes"},
    CatalogueEntry{186, "Private Bytes"},
    CatalogueEntry{198, "Current Disk Queue Length"},
    CatalogueEntry{200, "% Disk Time"},
    CatalogueEntry{202, "% Disk Read Time"},
    CatalogueEntry{204, "% Disk Write Time"},
    CatalogueEntry{206, "Avg. Disk sec/Transfer"},
    CatalogueEntry{208, "Avg. Disk sec/Read"},
    CatalogueEntry{210, "Avg. Disk sec/Write"},
    CatalogueEntry{212, "Disk Transfers/sec"},
    CatalogueEntry{214, "Disk Reads/sec"},
    CatalogueEntry{216, "Disk Writes/sec"},
    CatalogueEntry{218, "Disk Bytes/sec"},
    CatalogueEntry{220, "Disk Read Bytes/sec"},
    CatalogueEntry{222, "Disk Write Bytes/sec"},
    CatalogueEntry{224, "Avg. Disk Bytes/Transfer"},
    CatalogueEntry{226, "Avg. Disk Bytes/Read"},
    CatalogueEntry{228, "Avg. Disk Bytes/Write"},
    CatalogueEntry{230, "Process"},
    CatalogueEntry{232, "Thread"},
    CatalogueEntry{234, "PhysicalDisk"},
    CatalogueEntry{236, "LogicalDisk"},
    CatalogueEntry{238, "Processor"},
    CatalogueEntry{248, "Processes"},
    CatalogueEntry{250, "Threads"},
    CatalogueEntry{252, "Events"},
    CatalogueEntry{254, "Semaphores"},
    CatalogueEntry{256, "Mutexes"},
    CatalogueEntry{258, "Sections"},
    CatalogueEntry{260, "Objects"},
    CatalogueEntry{264, "Bytes Received/sec"},
    CatalogueEntry{266, "Packets Received/sec"},
    CatalogueEntry{336, "Thread Wait Reason"},
    CatalogueEntry{388, "Bytes Total/sec"},
    CatalogueEntry{400, "Packets/sec"},
    CatalogueEntry{406, "File Data Operations/sec"},
    CatalogueEntry{408, "% Free Space"},
    CatalogueEntry{410, "Free Megabytes"},
    CatalogueEntry{452, "Packets Sent/sec"},
    CatalogueEntry{506, "Bytes Sent/sec"},
    CatalogueEntry{510, "Network Interface"},
    CatalogueEntry{520, "Current Bandwidth"},
    CatalogueEntry{524, "Packets Received Unicast/sec"},
    CatalogueEntry{526, "Packets Received Non-Unicast/sec"},
    CatalogueEntry{528, "Packets Received Discarded"},
    CatalogueEntry{530, "Packets Received Errors"},
    CatalogueEntry{532, "Packets Received Unknown"},
    CatalogueEntry{536, "Packets Sent Unicast/sec"},
    CatalogueEntry{538, "Packets Sent Non-Unicast/sec"},
    CatalogueEntry{540, "Packets Outbound Discarded"},
    CatalogueEntry{542, "Packets Outbound Errors"},
    CatalogueEntry{544, "Output Queue Length"},
    CatalogueEntry{674, "System Up Time"},
    CatalogueEntry{680, "Thread Count"},
    CatalogueEntry{682, "Priority Base"},
    CatalogueEntry{684, "Elapsed Time"},
    CatalogueEntry{686, "Alignment Fixups/sec"},
    CatalogueEntry{688, "Exception Dispatches/sec"},
    CatalogueEntry{690, "Floating Emulations/sec"},
    CatalogueEntry{694, "Priority Current"},
    CatalogueEntry{696, "% DPC Time"},
    CatalogueEntry{698, "% Interrupt Time"},
    CatalogueEntry{784, "ID Process"},
    CatalogueEntry{804, "ID Thread"},
    CatalogueEntry{818, "Cache Bytes"},
    CatalogueEntry{822, "Pages Input/sec"},
    CatalogueEntry{952, "Handle Count"},
    CatalogueEntry{1334, "DPCs Queued/sec"},
    CatalogueEntry{1350, "% Registry Quota In Use"},
    CatalogueEntry{1380, "Available KBytes"},
    CatalogueEntry{1382, "Available MBytes"},
    CatalogueEntry{1400, "Avg. Disk Queue Length"},
    CatalogueEntry{1402, "Avg. Disk Read Queue Length"},
    CatalogueEntry{1404, "Avg. Disk Write Queue Length"},
    CatalogueEntry{1406, "% Committed Bytes In Use"},
    CatalogueEntry{1410, "Creating Process ID"},
    CatalogueEntry{1412, "IO Read Operations/sec"},
    CatalogueEntry{1414, "IO Write Operations/sec"},
    CatalogueEntry{1416, "IO Data Operations/sec"},
    CatalogueEntry{1418, "IO Other Operations/sec"},
    CatalogueEntry{1420, "IO Read Bytes/sec"},
    CatalogueEntry{1422, "IO Write Bytes/sec"},
    CatalogueEntry{1424, "IO Data Bytes/sec"},
    CatalogueEntry{1426, "IO Other Bytes/sec"},
    CatalogueEntry{1478, "Working Set - Private"},
    CatalogueEntry{1482, "% Idle Time"},
    CatalogueEntry{1484, "Split IO/Sec"},
    CatalogueEntry{1746, "% Idle Time"},
    CatalogueEntry{1762, "Committed Bytes"},
    CatalogueEntry{1766, "Virtual Bytes"},
    CatalogueEntry{1846, "End Marker"},
};

// The first pair of the catalogue names the highest built-in index.
constexpr DWORD kLastBuiltInIndex = 1847;

void AppendString(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back('\0');
}

}  // namespace

const std::string& PerfCounterCatalogue() {
  static const std::string catalogue = [] {
    std::string out;
    AppendString(out, "1");
    AppendString(out, std::to_string(kLastBuiltInIndex));
    for (const CatalogueEntry& entry : kEntries) {
      AppendString(out, std::to_string(entry.Index));
      AppendString(out, entry.Name);
    }
    out.push_back('\0');
    return out;
  }();
  return catalogue;
}

std::string_view PerfCounterName(DWORD index) {
  const auto* found = std::lower_bound(
      kEntries.begin(), kEntries.end(), index,
      [](const CatalogueEntry& entry, DWORD wanted) { return entry.Index < wanted; });
  if (found == kEntries.end() || found->Index != index) return {};
  return found->Name;
}

}  // namespace platform
