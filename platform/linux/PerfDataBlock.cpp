// Layout of a performance data block from a description of its objects.

#include <bit>
#include <cstring>

#include "platform/PerfData.h"

namespace platform {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the data block is written by copying little-endian records");

constexpr size_t AlignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// UTF-8 to UTF-16 code units; a byte that does not start a valid sequence is
// taken as the Latin-1 character of the same value.
std::u16string Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    uint32_t code = byte;
    size_t length = 1;
    if (byte >= 0xC2 && byte <= 0xF4) {
      length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
      code = byte & (0x3F >> (length - 1));
      bool valid = i + length <= text.size();
      for (size_t k = 1; valid && k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        valid = (next & 0xC0) == 0x80;
        code = (code << 6) | (next & 0x3F);
      }
      const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
      if (!valid || code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = byte;
        length = 1;
      }
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

class BlockWriter {
 public:
  size_t size() const { return bytes_.size(); }

  // Grows the block by n zero bytes and returns the offset of the first.
  size_t Reserve(size_t n) {
    const size_t at = bytes_.size();
    bytes_.resize(at + n, 0);
    return at;
  }

  template <typename Record>
  void Put(size_t at, const Record& record) {
    std::memcpy(bytes_.data() + at, &record, sizeof(Record));
  }

  void PutValue(size_t at, uint64_t value, DWORD size) {
    if (size == 8) {
      std::memcpy(bytes_.data() + at, &value, 8);
    } else {
      const auto low = static_cast<uint32_t>(value);
      std::memcpy(bytes_.data() + at, &low, 4);
    }
  }

  // Writes a NUL-terminated UTF-16LE name padded to 8 bytes; returns the
  // name's length in bytes, NUL included.
  DWORD PutName(std::string_view name) {
    std::u16string text = Utf16FromUtf8(name);
    text.push_back(u'\0');
    const size_t length = text.size() * sizeof(char16_t);
    const size_t at = Reserve(AlignUp(length, 8));
    std::memcpy(bytes_.data() + at, text.data(), length);
    return static_cast<DWORD>(length);
  }

  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

// Offsets of the values inside a counter block: each value on a boundary of
// its own size, after the block's 4-byte length. Returns the block length.
DWORD PlanCounterBlock(const std::vector<PerfCounterDef>& counters, std::vector<DWORD>* offsets) {
  size_t at = sizeof(PERF_COUNTER_BLOCK);
  for (const PerfCounterDef& counter : counters) {
    const DWORD size = CounterSizeOfType(counter.Type);
    at = AlignUp(at, size);
    offsets->push_back(static_cast<DWORD>(at));
    at += size;
  }
  return static_cast<DWORD>(AlignUp(at, 8));
}

void WriteCounterBlock(BlockWriter& writer, const PerfObjectData& object,
                       const std::vector<DWORD>& offsets, DWORD block_length,
                       const PerfInstanceData* instance) {
  const size_t at = writer.Reserve(block_length);
  writer.Put(at, PERF_COUNTER_BLOCK{block_length});
  if (instance == nullptr) return;
  for (size_t i = 0; i < object.Counters.size() && i < instance->Values.size(); ++i) {
    writer.PutValue(at + offsets[i], instance->Values[i],
                    CounterSizeOfType(object.Counters[i].Type));
  }
}

void WriteObject(BlockWriter& writer, const PerfObjectData& object) {
  const size_t object_at = writer.Reserve(sizeof(PERF_OBJECT_TYPE));
  std::vector<DWORD> offsets;
  const DWORD block_length = PlanCounterBlock(object.Counters, &offsets);

  DWORD detail_level = PERF_DETAIL_WIZARD;
  for (size_t i = 0; i < object.Counters.size(); ++i) {
    const PerfCounterDef& counter = object.Counters[i];
    PERF_COUNTER_DEFINITION definition{};
    definition.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
    definition.CounterNameTitleIndex = counter.NameIndex;
    definition.CounterHelpTitleIndex = counter.NameIndex + 1;
    definition.DefaultScale = counter.DefaultScale;
    definition.DetailLevel = counter.DetailLevel;
    definition.CounterType = counter.Type;
    definition.CounterSize = CounterSizeOfType(counter.Type);
    definition.CounterOffset = offsets[i];
    writer.Put(writer.Reserve(sizeof(definition)), definition);
    if (counter.DetailLevel < detail_level) detail_level = counter.DetailLevel;
  }
  const size_t definition_length = writer.size() - object_at;

  if (object.HasInstances) {
    for (const PerfInstanceData& instance : object.Instances) {
      const size_t instance_at = writer.Reserve(sizeof(PERF_INSTANCE_DEFINITION));
      PERF_INSTANCE_DEFINITION definition{};
      definition.UniqueID = PERF_NO_UNIQUE_ID;
      definition.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
      definition.NameLength = writer.PutName(instance.Name);
      definition.ByteLength = static_cast<DWORD>(writer.size() - instance_at);
      writer.Put(instance_at, definition);
      WriteCounterBlock(writer, object, offsets, block_length, &instance);
    }
  } else {
    WriteCounterBlock(writer, object, offsets, block_length,
                      object.Instances.empty() ? nullptr : &object.Instances.front());
  }

  PERF_OBJECT_TYPE type{};
  type.TotalByteLength = static_cast<DWORD>(writer.size() - object_at);
  type.DefinitionLength = static_cast<DWORD>(definition_length);
  type.HeaderLength = sizeof(PERF_OBJECT_TYPE);
  type.ObjectNameTitleIndex = object.NameIndex;
  type.ObjectHelpTitleIndex = object.NameIndex + 1;
  type.DetailLevel = object.Counters.empty() ? PERF_DETAIL_NOVICE : detail_level;
  type.NumCounters = static_cast<DWORD>(object.Counters.size());
  type.DefaultCounter = object.DefaultCounter;
  type.NumInstances =
      object.HasInstances ? static_cast<LONG>(object.Instances.size()) : PERF_NO_INSTANCES;
  type.CodePage = 0;
  type.PerfTime = object.PerfTime;
  type.PerfFreq = object.PerfFreq;
  writer.Put(object_at, type);
}

}  // namespace

DWORD CounterSizeOfType(DWORD type) {
  return (type & PERF_SIZE_LARGE) != 0 ? 8 : 4;
}

std::vector<uint8_t> WritePerfDataBlock(const PerfBlockHeader& header,
                                        const std::vector<PerfObjectData>& objects) {
  BlockWriter writer;
  writer.Reserve(sizeof(PERF_DATA_BLOCK));
  const DWORD name_length = writer.PutName(header.SystemName);
  const auto header_length = static_cast<DWORD>(writer.size());
  for (const PerfObjectData& object : objects) WriteObject(writer, object);

  PERF_DATA_BLOCK block{};
  std::memcpy(block.Signature, u"PERF", sizeof(block.Signature));
  block.LittleEndian = 1;
  block.Version = 1;
  block.Revision = 1;
  block.TotalByteLength = static_cast<DWORD>(writer.size());
  block.HeaderLength = header_length;
  block.NumObjectTypes = static_cast<DWORD>(objects.size());
  block.DefaultObject = header.DefaultObject;
  block.SystemTime = header.SystemTime;
  block.PerfTime = header.PerfTime;
  block.PerfFreq = header.PerfFreq;
  block.PerfTime100nSec = header.PerfTime100nSec;
  block.SystemNameLength = name_length;
  block.SystemNameOffset = sizeof(PERF_DATA_BLOCK);
  writer.Put(0, block);
  return writer.Take();
}

}  // namespace platform
