#pragma once
// The client's browsing of the performance data, without widgets: the object
// scan behind the counter chooser, the counter and instance lists, the network
// interfaces offered by the configuration editor, and the client-wide state
// they keep (the cached object list and the client's performance buffer).

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/PerfModule.h"

namespace client {

// The object indices the editor loads the client's buffer with.
inline constexpr std::string_view kEditorPerfKeyList = "2 4 236 238 260 510";
// The text the chooser's object box shows while the scan runs.
inline constexpr std::string_view kWaitText = " Wait - Loading Perf Data ! ";

// The object list: "name      | index||" per object; empty until the first
// scan, then kept for the life of the client.
std::string& PerfObjectList();

// The client's object-index list (its configuration record's PerfKeyList).
std::string& ClientPerfKeyList();

// Loads the client's buffer for the configuration editor: the catalogue (once
// per process), PerfKeyList set to kEditorPerfKeyList, and a full load.
void LoadEditorPerfData();

// The scan of every catalogue pair, one query of its index each, in steps short
// enough to keep a window responsive between them. An object is listed unless
// its block starts with the object listed just before or its detail level is
// 400 (wizard).
class PerfObjectScan {
 public:
  // registry: where the data comes from; nullptr for the platform's registry.
  explicit PerfObjectScan(common::PerfRegistry* registry = nullptr);

  // Scans pairs until budget has passed (at least one pair). Returns true once
  // every pair has been scanned.
  bool Step(std::chrono::milliseconds budget);
  bool Done() const { return next_pair_ >= pair_count_; }
  // The object list built so far.
  const std::string& Result() const { return result_; }

 private:
  void ScanPair(size_t q);

  common::PerfRegistry* registry_;
  std::vector<std::string> elements_;
  size_t pair_count_ = 0;
  size_t next_pair_ = 0;
  std::string previous_index_;
  std::vector<uint8_t> buffer_;
  std::string result_;
};

// Rebuilds PerfObjectList() with a whole scan.
void EnumeratePerfObjects();

// The counter names of an object, each once in definition order, each followed
// by "||", from a fresh query of that object alone.
std::string ListCounters(const std::string& object_index);

// The instance keys (name, "#", repeat number) of every counter whose name
// contains counter_name, each followed by "||", from the client's buffer.
std::string ListInstances(const std::string& object_index, const std::string& counter_name);

// ListInstances("510", "Bytes Received"): the network interfaces.
std::string ListNetworkInterfaces();

// The pieces of a "||"-separated list without the last (empty) one.
std::vector<std::string> ListPieces(std::string_view list);

// The object index of an object box text ("Processor      | 238"): the trimmed
// text after its first "|"; empty when there is none.
std::string ObjectIndexOf(std::string_view object_text);

// Picking a counter of an object: the object index is added to the client's
// PerfKeyList when the list's text does not contain it, and the buffer is
// loaded again in full. Returns the counter's instance keys.
std::vector<std::string> PickCounter(const std::string& object_index,
                                     const std::string& counter_name);

}  // namespace client
