#pragma once
// The counter catalogue and the performance-data reader: the index-to-name
// catalogue of performance counters, the buffer of the last performance data
// block, its loading through the registry, and the lookup of one raw counter
// value by object index, counter name and instance.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace common {

// Index text ("238") -> English name ("Processor"); objects and counters share
// the numbering. The first name given for an index stays.
using CounterCatalogue = std::map<std::string, std::string, std::less<>>;

// Adds the pairs of a "Counter" multi-string to the catalogue: the text is
// split at NULs; elements 0 and 1 (the catalogue's own header pair) are
// skipped; then element i is the key and i + 1 the name for i = 2, 4, ...
// A pair with an empty key, without a name, or with a key already present is
// skipped.
void AddCounterNames(CounterCatalogue& catalogue, std::string_view multi_string);

// The key an instance is matched by: its name, "#" and its repeat number.
// Consecutive instances of the same name count 0, 1, 2 ...; any other name
// starts again at 0. The state runs on for the life of the object, which is
// one lookup.
class InstanceKey {
 public:
  // The key of the next instance examined.
  std::string Next(std::string_view name);

 private:
  std::string previous_;
  int repeat_ = 0;
};

// The outcome of GetCounterValue: a raw value, no match (Value empty), or a
// failure (Error holds its description).
struct CounterValue {
  std::optional<double> Value;
  std::string Error;

  bool Failed() const { return !Error.empty(); }
};

// One counter of one instance met by a walk over an object's counters.
struct CounterSample {
  const std::string& CounterName;   // the counter's catalogue name
  const std::string& InstanceName;  // the object's own name when it has no instances
  double Value;                     // the raw value
};

// Receives each counter-and-instance pair of a walk; returns false to stop it.
using CounterVisitor = std::function<bool(const CounterSample&)>;

// Walks the object whose index equals object_index (a decimal text) in a data
// block as GetCounterValue does: counter definitions in order and, within each,
// its instances in order. Returns "" when the walk ended (also when no object
// matched), or the description of the failure (damaged block, non-numeric
// index, a counter index without a catalogue name).
std::string WalkObjectCounters(const std::vector<uint8_t>& block, const CounterCatalogue& catalogue,
                               std::string_view object_index, const CounterVisitor& visit);

// The registry calls the reader makes. The default forwards to the platform's
// registry; tests put hand-built blocks and catalogues behind them.
class PerfRegistry {
 public:
  virtual ~PerfRegistry() = default;
  virtual platform::LSTATUS OpenKey(platform::HKEY key, const char* sub_key, platform::REGSAM sam,
                                    platform::HKEY* result);
  virtual platform::LSTATUS QueryValue(platform::HKEY key, const char* value_name,
                                       platform::DWORD* type, platform::BYTE* data,
                                       platform::DWORD* data_size);
  virtual platform::LSTATUS CloseKey(platform::HKEY key);
};

// The platform's registry.
PerfRegistry& PlatformPerfRegistry();

// The "Counter" multi-string of the Perflib\009 key (index, NUL, name, NUL,
// ...); empty when it cannot be read.
std::string ReadCounterCatalogue(PerfRegistry& registry);

// Capacity steps of the performance buffer.
inline constexpr uint32_t kPerfBufferStep = 8192;

// The most one lookup pauses, in ScaledSleep units: a minute at the default
// pacing. The agent serves no client while a lookup pauses, so a block whose
// walk would claim more (a damaged one, or one of thousands of instances)
// holds it up no longer than that.
inline constexpr int64_t kMaxLookupPause = 30000;

// One reader: a catalogue, a buffer and the figures of the last load. The
// agent and the desktop client each hold one (ThePerfReader()).
class PerfReader {
 public:
  // registry: where the data comes from; nullptr for the platform's registry.
  // The reader does not own it.
  explicit PerfReader(PerfRegistry* registry = nullptr);

  // Reads the "Counter" value of the Perflib\009 key into the catalogue.
  // Failures are silent and leave the catalogue as it was.
  void LoadCounterNames();

  // Full load of the data block for key_list (blank-separated object
  // indices), growing the buffer from 8192 bytes in steps of 8192 while the
  // query answers ERROR_MORE_DATA. Returns 0 on completion, 1 when an error
  // interrupted it (logged).
  int GrowPerfBuffer(const std::string& key_list);

  // Refresh into the existing buffer with the previous block's length; hands
  // over to GrowPerfBuffer when the block no longer fits. Returns 0 on
  // completion (also after a hand-over), 1 when an error interrupted it.
  int LoadPerfObjects(const std::string& key_list);

  // The raw value of the first counter whose name contains counter_name
  // (case-sensitive), of the first instance whose key contains instance_name
  // (ignoring case and outer blanks; an empty instance_name takes the first
  // instance), of the object whose index equals object_index. Values are the
  // counter's bytes as an unsigned little-endian number. Empty when nothing
  // matched; Error set when the lookup failed (no data, malformed block,
  // non-numeric object_index, a counter index without a catalogue name).
  CounterValue GetCounterValue(std::string_view object_index, std::string_view counter_name,
                               std::string_view instance_name) const;

  const CounterCatalogue& Catalogue() const { return catalogue_; }
  const std::vector<uint8_t>& PerfBuffer() const { return buffer_; }
  // Length of the block returned by the last query; 0 before the first.
  uint32_t LastDataLength() const { return last_data_length_; }
  // PerfTime100nSec of the block last loaded (100 ns units since 1601).
  double PerfTimeBase() const { return perf_time_base_; }
  // The ScaledSleep units the last lookup paused.
  int64_t LastLookupPause() const { return last_lookup_pause_; }

 private:
  PerfRegistry& Registry() const;
  // Reads PerfTimeBase from the header at the start of the buffer.
  void ReadPerfTimeBase();

  PerfRegistry* registry_;
  CounterCatalogue catalogue_;
  std::vector<uint8_t> buffer_;
  uint32_t last_data_length_ = 0;
  double perf_time_base_ = 0;
  mutable int64_t last_lookup_pause_ = 0;
};

// The program's reader.
PerfReader& ThePerfReader();

// The operations of ThePerfReader(), under the names the programs call.
void LoadCounterNames();
int GrowPerfBuffer(const std::string& key_list);
int LoadPerfObjects(const std::string& key_list);
CounterValue GetCounterValue(std::string_view object_index, std::string_view counter_name,
                             std::string_view instance_name);

}  // namespace common
