// The lookup of one raw counter value in the performance data block: a walk
// over the published records by their offsets and lengths.

#include <algorithm>
#include <stdexcept>

#include "common/PerfModule.h"
#include "common/ScaledSleep.h"
#include "common/TextUtil.h"

namespace common {
namespace {

// Offsets of the fields read, within each record, and the bytes read of each.
constexpr size_t kBlockHeaderSize = 88;
constexpr size_t kBlockHeaderLength = 24;
constexpr size_t kBlockNumObjectTypes = 28;
constexpr size_t kObjectHeaderSize = 64;
constexpr size_t kObjectTotalByteLength = 0;
constexpr size_t kObjectDefinitionLength = 4;
constexpr size_t kObjectHeaderLength = 8;
constexpr size_t kObjectNameTitleIndex = 12;
constexpr size_t kObjectNumCounters = 32;
constexpr size_t kObjectNumInstances = 40;
constexpr size_t kCounterDefinitionSize = 40;
constexpr size_t kCounterByteLength = 0;
constexpr size_t kCounterNameTitleIndex = 4;
constexpr size_t kCounterSize = 32;
constexpr size_t kCounterOffset = 36;
constexpr size_t kInstanceDefinitionSize = 24;
constexpr size_t kInstanceByteLength = 0;
constexpr size_t kInstanceNameOffset = 16;
constexpr size_t kInstanceNameLength = 20;
constexpr size_t kCounterBlockSize = 4;
// The smallest an instance can be: its definition and a counter block length.
constexpr uint64_t kSmallestInstance = kInstanceDefinitionSize + kCounterBlockSize;

// A failure of the walk: the lookup ends with it.
class LookupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Ends the lookup on a record whose lengths cannot be walked.
[[noreturn]] void Damaged(std::string_view what, uint64_t at) {
  throw LookupError("performance data " + std::string(what) + " at offset " + std::to_string(at) +
                    " is damaged");
}

// Bounds-checked little-endian reads from the buffer.
class BlockBytes {
 public:
  explicit BlockBytes(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  uint64_t Size() const { return bytes_.size(); }

  // Fails the lookup unless the width bytes at at lie before end (and inside
  // the buffer). what names the record in the failure's text.
  void Require(uint64_t at, uint64_t width, uint64_t end, std::string_view what) const {
    if (end > bytes_.size() || at > end || width > end - at) {
      throw LookupError("performance data " + std::string(what) + " at offset " +
                        std::to_string(at) + " out of range");
    }
  }

  // An unsigned value of up to 8 bytes.
  uint64_t Unsigned(uint64_t at, size_t width) const {
    Require(at, width, bytes_.size(), "field");
    uint64_t value = 0;
    for (size_t k = 0; k < width && k < 8; ++k) {
      value |= static_cast<uint64_t>(bytes_[at + k]) << (8 * k);
    }
    return value;
  }
  uint32_t Dword(uint64_t at) const { return static_cast<uint32_t>(Unsigned(at, 4)); }
  int32_t Long(uint64_t at) const { return static_cast<int32_t>(Dword(at)); }

  // Σ byte[k] x 256^k: exact for 4- and 8-byte values up to 2^53.
  double Value(uint64_t at, uint64_t width) const {
    Require(at, width, bytes_.size(), "counter value");
    if (width <= 8) return static_cast<double>(Unsigned(at, static_cast<size_t>(width)));
    double value = 0;
    for (uint64_t k = width; k-- > 0;) value = value * 256 + bytes_[at + k];
    return value;
  }

  // UTF-16LE text of count code units, converted to UTF-8.
  std::string Utf16Text(uint64_t at, uint64_t count) const {
    Require(at, count * 2, bytes_.size(), "instance name");
    std::string text;
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t code = static_cast<uint32_t>(Unsigned(at + 2 * i, 2));
      if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count) {
        const auto low = static_cast<uint32_t>(Unsigned(at + 2 * i + 2, 2));
        if (low >= 0xDC00 && low <= 0xDFFF) {
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
      AppendUtf8(text, code);
    }
    return text;
  }

 private:
  static void AppendUtf8(std::string& text, uint32_t code) {
    if (code < 0x80) {
      text.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (code >> 6)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (code >> 12)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (code >> 18)));
      text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  const std::vector<uint8_t>& bytes_;
};

// The object index as a number: decimal notation only, so "0xEE" is no
// number, as any other text that is not one.
std::optional<double> ObjectIndexNumber(std::string_view text) { return ParseDecimal(text); }

// The pauses of one lookup. Each step of the walk adds its units; the sum is
// slept once when the lookup ends, and recorded. The lookup serves no client
// in between, so the pause is the same to the outside, without a system call
// per step.
class LookupPause {
 public:
  explicit LookupPause(int64_t& record) : record_(record) {}
  LookupPause(const LookupPause&) = delete;
  LookupPause& operator=(const LookupPause&) = delete;
  ~LookupPause() {
    record_ = units_;
    ScaledSleep(static_cast<int32_t>(units_));
  }

  void Add(int64_t units) { units_ = std::min(units_ + units, kMaxLookupPause); }

 private:
  int64_t& record_;
  int64_t units_ = 0;
};

struct FoundObject {
  uint64_t Offset = 0;
  uint64_t End = 0;  // where the object's bytes end
  int32_t NumInstances = 0;
  std::string Name;  // the object's catalogue name
};

struct InstanceBlock {
  std::string Name;
  uint64_t CounterBlock = 0;
  uint64_t CounterBlockLength = 0;
};

// The length of the counter block at at, which must lie inside the object.
uint64_t CounterBlockLength(const BlockBytes& bytes, uint64_t at, uint64_t object_end) {
  bytes.Require(at, kCounterBlockSize, object_end, "counter block");
  const uint32_t length = bytes.Dword(at);
  if (length < kCounterBlockSize) Damaged("counter block", at);
  bytes.Require(at, length, object_end, "counter block");
  return length;
}

}  // namespace

std::string InstanceKey::Next(std::string_view name) {
  if (name == previous_) {
    ++repeat_;
  } else {
    repeat_ = 0;
  }
  previous_ = std::string(name);
  return previous_ + "#" + std::to_string(repeat_);
}

namespace {

// The walk of GetCounterValue: every counter of the object, in definition order,
// and within each counter every instance, handed to visit until it says stop.
// Throws LookupError on damaged data and on a counter without a catalogue name.
// Every count and offset comes from the block: each is checked against the
// bytes there, and every record the walk steps over has a length of at least
// what is read of it, so the walk always ends within the block.
void WalkCounters(const std::vector<uint8_t>& block, const CounterCatalogue& catalogue,
                  std::string_view object_index, const CounterVisitor& visit,
                  LookupPause& pause) {
  const BlockBytes bytes(block);
  pause.Add(10);
  if (block.size() < kBlockHeaderSize) throw LookupError("no performance data loaded");
  const uint32_t header_length = bytes.Dword(kBlockHeaderLength);
  const uint32_t object_count = bytes.Dword(kBlockNumObjectTypes);
  pause.Add(10);
  if (object_count == 0) throw LookupError("the performance data block holds no objects");
  pause.Add(10);
  bytes.Require(header_length, 0, bytes.Size(), "first object");
  if (object_count > (bytes.Size() - header_length) / kObjectHeaderSize) {
    throw LookupError("the performance data block cannot hold " + std::to_string(object_count) +
                      " objects");
  }

  // Object scan.
  const std::optional<double> wanted_index = ObjectIndexNumber(object_index);
  std::optional<FoundObject> found;
  uint64_t offset = header_length;
  for (uint32_t k = 0; k < object_count && !found; ++k) {
    bytes.Require(offset, kObjectHeaderSize, bytes.Size(), "object");
    const uint32_t total_length = bytes.Dword(offset + kObjectTotalByteLength);
    pause.Add(5);
    if (total_length < kObjectHeaderSize) Damaged("object", offset);
    bytes.Require(offset, total_length, bytes.Size(), "object");
    const uint64_t next = offset + total_length;
    const int32_t declared = bytes.Long(offset + kObjectNumInstances);
    const int64_t instances = declared == -1 ? 1 : declared;
    // No instances right now: the object can never be found. A count the
    // object's length cannot hold is a damaged object, passed over as well.
    if (instances <= 0 ||
        static_cast<uint64_t>(instances) > total_length / kSmallestInstance + 1) {
      offset = next;
      continue;
    }
    pause.Add(4 * instances);
    const uint32_t index = bytes.Dword(offset + kObjectNameTitleIndex);
    const auto name = catalogue.find(std::to_string(index));
    if (name == catalogue.end()) {
      offset = next;  // an object without a name is passed over
      continue;
    }
    if (!wanted_index) {
      throw LookupError("object index is not a number: " + std::string(object_index));
    }
    if (*wanted_index == static_cast<double>(index)) {
      found = FoundObject{offset, next, declared, name->second};
    }
    offset = next;
  }
  if (!found) return;

  // Instances of the found object, each inside the object: a definition
  // holding its name, then a counter block.
  pause.Add(15);
  const uint64_t object_at = found->Offset;
  const uint64_t object_end = found->End;
  const uint64_t first_instance = object_at + bytes.Dword(object_at + kObjectDefinitionLength);
  std::vector<InstanceBlock> instances;
  if (found->NumInstances == -1) {
    instances.push_back({found->Name, first_instance,
                         CounterBlockLength(bytes, first_instance, object_end)});
  } else {
    uint64_t pos = first_instance;
    for (int32_t i = 0; i < found->NumInstances; ++i) {
      bytes.Require(pos, kInstanceDefinitionSize, object_end, "instance");
      const uint32_t byte_length = bytes.Dword(pos + kInstanceByteLength);
      const uint32_t name_offset = bytes.Dword(pos + kInstanceNameOffset);
      const int64_t name_bytes = static_cast<int64_t>(bytes.Dword(pos + kInstanceNameLength)) - 2;
      pause.Add(2);
      if (byte_length < kInstanceDefinitionSize) Damaged("instance", pos);
      bytes.Require(pos, byte_length, object_end, "instance");
      InstanceBlock instance;
      if (name_bytes > 0) {
        bytes.Require(pos + name_offset, name_bytes, pos + byte_length, "instance name");
        instance.Name = bytes.Utf16Text(pos + name_offset, name_bytes / 2);
      }
      pos += byte_length;
      instance.CounterBlock = pos;
      instance.CounterBlockLength = CounterBlockLength(bytes, pos, object_end);
      pos += instance.CounterBlockLength;
      instances.push_back(std::move(instance));
    }
  }

  // Counter scan: definitions inside the object, values inside each
  // instance's counter block.
  const uint32_t counter_count = bytes.Dword(object_at + kObjectNumCounters);
  if (counter_count > (object_end - object_at) / kCounterDefinitionSize) {
    Damaged("object", object_at);
  }
  uint64_t pos = object_at + bytes.Dword(object_at + kObjectHeaderLength);
  for (uint32_t c = 0; c < counter_count; ++c) {
    bytes.Require(pos, kCounterDefinitionSize, object_end, "counter definition");
    const uint32_t byte_length = bytes.Dword(pos + kCounterByteLength);
    const uint32_t name_index = bytes.Dword(pos + kCounterNameTitleIndex);
    const uint32_t size = bytes.Dword(pos + kCounterSize);
    const uint32_t value_offset = bytes.Dword(pos + kCounterOffset);
    if (byte_length < kCounterDefinitionSize) Damaged("counter definition", pos);
    const std::string* name = nullptr;
    for (const InstanceBlock& instance : instances) {
      bytes.Require(instance.CounterBlock + value_offset, size,
                    instance.CounterBlock + instance.CounterBlockLength, "counter value");
      const double value = bytes.Value(instance.CounterBlock + value_offset, size);
      pause.Add(3 + 5);
      if (name == nullptr) {
        const auto entry = catalogue.find(std::to_string(name_index));
        if (entry == catalogue.end()) {
          throw LookupError("no catalogue name for counter index " + std::to_string(name_index));
        }
        name = &entry->second;
      }
      if (!visit(CounterSample{*name, instance.Name, value})) return;
    }
    pos += byte_length;
  }
}

// The walk with its pause: the units it counted are kept in pause_record and
// paused once the walk is over. Returns the walk's error text, empty when none.
std::string WalkAndPause(const std::vector<uint8_t>& block, const CounterCatalogue& catalogue,
                         std::string_view object_index, const CounterVisitor& visit,
                         int64_t& pause_record) {
  LookupPause pause(pause_record);
  try {
    WalkCounters(block, catalogue, object_index, visit, pause);
    return {};
  } catch (const std::exception& error) {
    return error.what();
  }
}

}  // namespace

std::string WalkObjectCounters(const std::vector<uint8_t>& block, const CounterCatalogue& catalogue,
                               std::string_view object_index, const CounterVisitor& visit) {
  int64_t pause_record = 0;
  return WalkAndPause(block, catalogue, object_index, visit, pause_record);
}

CounterValue PerfReader::GetCounterValue(std::string_view object_index,
                                         std::string_view counter_name,
                                         std::string_view instance_name) const {
  const std::string wanted_instance = ToUpper(TrimBlanks(instance_name));
  InstanceKey keys;
  CounterValue result;
  result.Error = WalkAndPause(
      buffer_, catalogue_, object_index, [&](const CounterSample& sample) {
        if (sample.CounterName.find(counter_name) == std::string::npos) return true;
        const std::string key = ToUpper(keys.Next(sample.InstanceName));
        if (instance_name.empty() || key.find(wanted_instance) != std::string::npos) {
          result.Value = sample.Value;
          return false;
        }
        return true;
      }, last_lookup_pause_);
  if (result.Failed()) result.Value.reset();
  return result;
}

}  // namespace common
