// Performance data blocks of arbitrary bytes through the counter lookup: the
// block is loaded as the registry would hand it over, then looked up for the
// objects, counters and instances the agent asks for.

#include <cstddef>
#include <cstdint>

#include "common/PerfModule.h"
#include "tests/support/FakePerfRegistry.h"

namespace {

struct Lookup {
  const char* ObjectIndex;
  const char* CounterName;
  const char* InstanceName;
};

constexpr Lookup kLookups[] = {
    {"238", "% Processor Time", "0"}, {"2", "Processes", ""},
    {"4", "Available Bytes", ""},     {"510", "Bytes Received", "eth0"},
    {"230", "ID Process", "svchost#1"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testsupport::FakePerfRegistry registry;
  static common::PerfReader reader = [] {
    common::PerfReader loaded(&registry);
    loaded.LoadCounterNames();
    return loaded;
  }();
  registry.Block.assign(data, data + size);
  registry.OfferedSizes.clear();
  registry.KeyLists.clear();
  if (reader.GrowPerfBuffer("2 4 230 238 510") != 0) return 0;
  for (const Lookup& lookup : kLookups) {
    (void)reader.GetCounterValue(lookup.ObjectIndex, lookup.CounterName, lookup.InstanceName);
  }
  return 0;
}
