// The performance data block of a query: which objects a value name asks for,
// the block header for the present moment, and the objects themselves.

#include "platform/PerfData.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <ctime>

#include "platform/linux/PerfDataObjects.h"

namespace platform {
namespace {

using ObjectBuilder = std::optional<PerfObjectData> (*)(ProcSources&);

struct ProvidedObject {
  DWORD Index;
  ObjectBuilder Build;
  bool InGlobal;  // false: costly, built only when asked for by index
};

// The block lists its objects in this order. Process, with its hundreds of
// instances, comes last, so that a reader walking the block for any other
// object never has to step over it.
constexpr ProvidedObject kProvidedObjects[] = {
    {kSystemObject, &BuildSystemObject, true},
    {kMemoryObject, &BuildMemoryObject, true},
    {kLogicalDiskObject, &BuildLogicalDiskObject, true},
    {kProcessorObject, &BuildProcessorObject, true},
    {kObjectsObject, &BuildObjectsObject, true},
    {kNetworkInterfaceObject, &BuildNetworkInterfaceObject, true},
    {kProcessObject, &BuildProcessObject, false},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'A' && x <= 'Z' ? x - 'A' + 'a' : x) == (y >= 'A' && y <= 'Z' ? y - 'A' + 'a' : y);
  });
}

int64_t NanosecondsOf(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

SYSTEMTIME SystemTimeOf(int64_t realtime_ns) {
  const std::time_t seconds = static_cast<std::time_t>(realtime_ns / 1000000000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(parts.tm_year + 1900);
  time.wMonth = static_cast<WORD>(parts.tm_mon + 1);
  time.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
  time.wDay = static_cast<WORD>(parts.tm_mday);
  time.wHour = static_cast<WORD>(parts.tm_hour);
  time.wMinute = static_cast<WORD>(parts.tm_min);
  time.wSecond = static_cast<WORD>(parts.tm_sec);
  time.wMilliseconds = static_cast<WORD>(realtime_ns / 1000000 % 1000);
  return time;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return {};
  return name;
}

}  // namespace

std::vector<DWORD> RequestedPerfObjects(std::string_view value_name) {
  std::vector<bool> asked(std::size(kProvidedObjects), false);
  size_t at = 0;
  while (at < value_name.size()) {
    const size_t start = value_name.find_first_not_of(' ', at);
    if (start == std::string_view::npos) break;
    const size_t end = std::min(value_name.find(' ', start), value_name.size());
    const std::string_view word = value_name.substr(start, end - start);
    at = end;
    const bool global = EqualsIgnoringCase(word, "Global");
    DWORD index = 0;
    const auto [stop, error] = std::from_chars(word.data(), word.data() + word.size(), index);
    const bool numeric = error == std::errc() && stop == word.data() + word.size();
    for (size_t i = 0; i < std::size(kProvidedObjects); ++i) {
      const ProvidedObject& object = kProvidedObjects[i];
      if ((global && object.InGlobal) || (numeric && object.Index == index)) asked[i] = true;
    }
  }
  std::vector<DWORD> wanted;
  for (size_t i = 0; i < std::size(kProvidedObjects); ++i) {
    if (asked[i]) wanted.push_back(kProvidedObjects[i].Index);
  }
  return wanted;
}

std::vector<uint8_t> BuildPerformanceData(std::string_view value_name, const std::string& root) {
  const int64_t realtime_ns = NanosecondsOf(CLOCK_REALTIME);
  PerfBlockHeader header;
  header.SystemName = HostName();
  header.SystemTime = SystemTimeOf(realtime_ns);
  header.PerfTime = NanosecondsOf(CLOCK_MONOTONIC) / 100;
  header.PerfFreq = 10000000;
  header.PerfTime100nSec = realtime_ns / 100 + kUnixEpochAsFileTime;
  header.DefaultObject = static_cast<LONG>(kProcessorObject);

  PerfClock clock;
  clock.FileTimeNow = header.PerfTime100nSec;
  const long hz = sysconf(_SC_CLK_TCK);
  clock.TicksPerSecond = hz > 0 ? hz : 100;
  ProcSources sources(root, clock);

  std::vector<PerfObjectData> objects;
  const std::vector<DWORD> wanted = RequestedPerfObjects(value_name);
  for (const ProvidedObject& provided : kProvidedObjects) {
    if (std::find(wanted.begin(), wanted.end(), provided.Index) == wanted.end()) continue;
    if (auto object = provided.Build(sources)) objects.push_back(std::move(*object));
  }
  return WritePerfDataBlock(header, objects);
}

}  // namespace platform
