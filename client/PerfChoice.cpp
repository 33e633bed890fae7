#include "client/PerfChoice.h"

#include <cstddef>

#include "common/AgentConfig.h"
#include "common/TextUtil.h"
#include "platform/PerfData.h"

namespace client {
namespace {

using platform::DWORD;

// The scan's private buffer grows by this much per retry; the counter list's
// by kListStep.
constexpr DWORD kScanStep = 100000;
constexpr DWORD kListStep = 4096;
// A block that needs more than this is taken as a failing query (as the
// reader does).
constexpr DWORD kLargestBlock = 4u * 1024 * 1024;

// Fields read of the published records.
constexpr size_t kBlockHeaderLength = offsetof(platform::PERF_DATA_BLOCK, HeaderLength);
constexpr size_t kBlockNumObjectTypes = offsetof(platform::PERF_DATA_BLOCK, NumObjectTypes);
constexpr size_t kObjectNameTitleIndex = offsetof(platform::PERF_OBJECT_TYPE, ObjectNameTitleIndex);
constexpr size_t kObjectDetailLevel = offsetof(platform::PERF_OBJECT_TYPE, DetailLevel);
constexpr size_t kObjectHeaderSize = sizeof(platform::PERF_OBJECT_TYPE);

uint32_t DwordAt(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t k = 0; k < 4; ++k) value |= static_cast<uint32_t>(bytes[at + k]) << (8 * k);
  return value;
}

// Queries the data block of a value name into buffer, growing it by step while
// the answer is ERROR_MORE_DATA. Returns false when the query failed.
bool QueryBlock(common::PerfRegistry& registry, const std::string& value_name, DWORD step,
                std::vector<uint8_t>& buffer) {
  DWORD capacity = step;
  while (capacity <= kLargestBlock) {
    buffer.assign(capacity, 0);
    DWORD size = capacity;
    DWORD type = 0;
    const platform::LSTATUS status = registry.QueryValue(
        platform::HKEY_PERFORMANCE_DATA, value_name.c_str(), &type, buffer.data(), &size);
    if (status == platform::ERROR_SUCCESS) {
      buffer.resize(std::min(size, capacity));
      return true;
    }
    if (status != platform::ERROR_MORE_DATA) break;
    capacity += step;
  }
  buffer.clear();
  return false;
}

}  // namespace

std::string& PerfObjectList() {
  static std::string list;
  return list;
}

std::string& ClientPerfKeyList() {
  return common::TheAgentConfig().PerfKeyList;
}

void LoadEditorPerfData() {
  common::PerfReader& reader = common::ThePerfReader();
  if (reader.Catalogue().empty()) reader.LoadCounterNames();
  ClientPerfKeyList() = std::string(kEditorPerfKeyList);
  reader.GrowPerfBuffer(ClientPerfKeyList());
}

PerfObjectScan::PerfObjectScan(common::PerfRegistry* registry)
    : registry_(registry != nullptr ? registry : &common::PlatformPerfRegistry()),
      elements_(common::SplitText(common::ReadCounterCatalogue(*registry_),
                                  std::string_view("\0", 1))) {
  // Pairs 0 to (last element index / 2 - 2), rounded half to even; the
  // catalogue's header pair is pair 0.
  const double last_pair =
      common::RoundHalfEven(static_cast<double>(elements_.size() - 1) / 2.0 - 2.0);
  pair_count_ = last_pair < 0 ? 0 : static_cast<size_t>(last_pair) + 1;
}

void PerfObjectScan::ScanPair(size_t q) {
  const std::string& index = elements_[2 * q];
  const std::string& name = elements_[2 * q + 1];
  if (!QueryBlock(*registry_, index, kScanStep, buffer_)) return;
  if (buffer_.size() < kBlockNumObjectTypes + 4) return;
  if (DwordAt(buffer_, kBlockNumObjectTypes) == 0) return;
  const size_t object = DwordAt(buffer_, kBlockHeaderLength);
  if (object > buffer_.size() || buffer_.size() - object < kObjectHeaderSize) return;
  const std::string first_index = std::to_string(DwordAt(buffer_, object + kObjectNameTitleIndex));
  const uint32_t detail_level = DwordAt(buffer_, object + kObjectDetailLevel);
  if (first_index != previous_index_ && detail_level != platform::PERF_DETAIL_WIZARD) {
    result_ += name + "      | " + index + "||";
  }
  previous_index_ = first_index;
}

bool PerfObjectScan::Step(std::chrono::milliseconds budget) {
  const auto until = std::chrono::steady_clock::now() + budget;
  do {
    if (Done()) return true;
    ScanPair(next_pair_++);
  } while (std::chrono::steady_clock::now() < until);
  return Done();
}

void EnumeratePerfObjects() {
  PerfObjectScan scan;
  while (!scan.Step(std::chrono::seconds(1))) {
  }
  PerfObjectList() = scan.Result();
}

std::string ListCounters(const std::string& object_index) {
  std::vector<uint8_t> block;
  if (!QueryBlock(common::PlatformPerfRegistry(), object_index, kListStep, block)) return {};
  std::string result;
  std::string previous;
  common::WalkObjectCounters(block, common::ThePerfReader().Catalogue(), object_index,
                             [&](const common::CounterSample& sample) {
                               if (sample.CounterName != previous) {
                                 result += sample.CounterName + "||";
                               }
                               previous = sample.CounterName;
                               return true;
                             });
  return result;
}

std::string ListInstances(const std::string& object_index, const std::string& counter_name) {
  std::string result;
  common::InstanceKey keys;
  const common::PerfReader& reader = common::ThePerfReader();
  common::WalkObjectCounters(reader.PerfBuffer(), reader.Catalogue(), object_index,
                             [&](const common::CounterSample& sample) {
                               if (sample.CounterName.find(counter_name) != std::string::npos) {
                                 result += keys.Next(sample.InstanceName) + "||";
                               }
                               return true;
                             });
  return result;
}

std::string ListNetworkInterfaces() {
  return ListInstances("510", "Bytes Received");
}

std::vector<std::string> ListPieces(std::string_view list) {
  std::vector<std::string> pieces = common::SplitText(list, "||");
  pieces.pop_back();
  return pieces;
}

std::string ObjectIndexOf(std::string_view object_text) {
  const size_t bar = object_text.find('|');
  if (bar == std::string_view::npos) return {};
  std::string_view index = object_text.substr(bar + 1);
  index = index.substr(0, index.find('|'));
  return std::string(common::TrimBlanks(index));
}

std::vector<std::string> PickCounter(const std::string& object_index,
                                     const std::string& counter_name) {
  std::string& key_list = ClientPerfKeyList();
  if (!common::Contains(key_list, object_index)) {
    key_list += " " + object_index + " ";
    common::ThePerfReader().GrowPerfBuffer(key_list);
  }
  return ListPieces(ListInstances(object_index, counter_name));
}

}  // namespace client
