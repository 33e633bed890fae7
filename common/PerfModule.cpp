#include "common/PerfModule.h"

#include <algorithm>
#include <stdexcept>

#include "common/ScaledSleep.h"
#include "common/WriteLog.h"

namespace common {
namespace {

using platform::DWORD;
using platform::HKEY;
using platform::LSTATUS;

constexpr const char* kPerflibEnglishKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";

// A block that needs more than this is taken as a failing provider rather
// than grown without end (the Process object of 25000 processes fits).
constexpr uint32_t kMaxPerfBuffer = 4u * 1024 * 1024;

// Offsets in the PERF_DATA_BLOCK header.
constexpr size_t kDataBlockHeaderSize = 88;
constexpr size_t kPerfTime100nSecOffset = 72;

}  // namespace

platform::LSTATUS PerfRegistry::OpenKey(HKEY key, const char* sub_key, platform::REGSAM sam,
                                        HKEY* result) {
  return platform::RegOpenKeyExA(key, sub_key, 0, sam, result);
}

platform::LSTATUS PerfRegistry::QueryValue(HKEY key, const char* value_name, DWORD* type,
                                           platform::BYTE* data, DWORD* data_size) {
  return platform::RegQueryValueExA(key, value_name, nullptr, type, data, data_size);
}

platform::LSTATUS PerfRegistry::CloseKey(HKEY key) {
  return platform::RegCloseKey(key);
}

void AddCounterNames(CounterCatalogue& catalogue, std::string_view multi_string) {
  std::vector<std::string_view> elements;
  size_t at = 0;
  while (true) {
    const size_t end = multi_string.find('\0', at);
    if (end == std::string_view::npos) {
      elements.push_back(multi_string.substr(at));
      break;
    }
    elements.push_back(multi_string.substr(at, end - at));
    at = end + 1;
  }
  for (size_t i = 2; i + 1 < elements.size(); i += 2) {
    if (elements[i].empty()) continue;
    catalogue.emplace(std::string(elements[i]), std::string(elements[i + 1]));
  }
}

PerfReader::PerfReader(PerfRegistry* registry) : registry_(registry) {}

PerfRegistry& PerfReader::Registry() const {
  return registry_ != nullptr ? *registry_ : PlatformPerfRegistry();
}

PerfRegistry& PlatformPerfRegistry() {
  static PerfRegistry registry;
  return registry;
}

std::string ReadCounterCatalogue(PerfRegistry& registry) {
  std::string text;
  HKEY key = nullptr;
  if (registry.OpenKey(platform::HKEY_LOCAL_MACHINE, kPerflibEnglishKey, platform::KEY_READ,
                       &key) == platform::ERROR_SUCCESS) {
    DWORD type = 0;
    DWORD size = 0;
    if (registry.QueryValue(key, "Counter", &type, nullptr, &size) == platform::ERROR_SUCCESS &&
        size > 0) {
      text.assign(size, '\0');
      DWORD read = size;
      if (registry.QueryValue(key, "Counter", &type,
                              reinterpret_cast<platform::BYTE*>(text.data()),
                              &read) == platform::ERROR_SUCCESS) {
        text.resize(std::min(read, size));
      } else {
        text.clear();
      }
    }
    registry.CloseKey(key);
  }
  return text;
}

void PerfReader::LoadCounterNames() {
  AddCounterNames(catalogue_, ReadCounterCatalogue(Registry()));
}

void PerfReader::ReadPerfTimeBase() {
  if (buffer_.size() < kDataBlockHeaderSize) {
    throw std::runtime_error("the performance buffer holds no data block header");
  }
  uint64_t time = 0;
  for (size_t k = 0; k < 8; ++k) {
    time |= static_cast<uint64_t>(buffer_[kPerfTime100nSecOffset + k]) << (8 * k);
  }
  perf_time_base_ = static_cast<double>(time);
}

int PerfReader::GrowPerfBuffer(const std::string& key_list) {
  try {
    WriteLog("Inicio carga rotina performance :::" + key_list, 2);
    uint32_t capacity = 0;
    DWORD size = 0;
    LSTATUS status = platform::ERROR_SUCCESS;
    do {
      if (capacity >= kMaxPerfBuffer) {
        throw std::runtime_error("the performance data block does not fit in " +
                                 std::to_string(kMaxPerfBuffer) + " bytes");
      }
      capacity += kPerfBufferStep;
      // A resize discards the old contents, as the block is read afresh. The
      // memory behind it grows geometrically, so a long growth stays cheap.
      if (buffer_.capacity() < capacity)
        buffer_.reserve(std::max<size_t>(capacity, 2 * buffer_.capacity()));
      buffer_.assign(capacity, 0);
      WriteLog(" DEFAULT Loop carga rotina performance ," + std::to_string(capacity), 2);
      size = capacity;
      DWORD type = 0;
      status = Registry().QueryValue(platform::HKEY_PERFORMANCE_DATA, key_list.c_str(), &type,
                                     buffer_.data(), &size);
      WriteLog(" DEFAULT Fim loop carga rotina performance ," + std::to_string(size), 2);
      ScaledSleep(10);
    } while (status == platform::ERROR_MORE_DATA);
    WriteLog(" DEFAULT fora loop carga rotina performance", 2);
    ReadPerfTimeBase();
    ScaledSleep(70);
    Registry().CloseKey(platform::HKEY_PERFORMANCE_DATA);
    last_data_length_ = size;
    WriteLog("Fim carga rotina performance", 2);
    return 0;
  } catch (const std::exception& error) {
    WriteLog(std::string("Erro na carga rotina performance") + error.what(), 2);
    return 1;
  }
}

int PerfReader::LoadPerfObjects(const std::string& key_list) {
  try {
    // The previous length is the size offered: a block that has grown since
    // does not fit and is loaded again in full.
    DWORD size = std::min<DWORD>(last_data_length_, static_cast<DWORD>(buffer_.size()));
    DWORD type = 0;
    const LSTATUS status = Registry().QueryValue(platform::HKEY_PERFORMANCE_DATA, key_list.c_str(),
                                                 &type, buffer_.data(), &size);
    last_data_length_ = size;
    if (status == platform::ERROR_MORE_DATA) {
      GrowPerfBuffer(key_list);
      return 0;
    }
    ScaledSleep(160);
    ReadPerfTimeBase();
    ScaledSleep(70);
    return 0;
  } catch (const std::exception& error) {
    WriteLog(std::string("LoadPerfObjects error:") + error.what(), 2);
    return 1;
  }
}

PerfReader& ThePerfReader() {
  static PerfReader reader;
  return reader;
}

void LoadCounterNames() {
  ThePerfReader().LoadCounterNames();
}

int GrowPerfBuffer(const std::string& key_list) {
  return ThePerfReader().GrowPerfBuffer(key_list);
}

int LoadPerfObjects(const std::string& key_list) {
  return ThePerfReader().LoadPerfObjects(key_list);
}

CounterValue GetCounterValue(std::string_view object_index, std::string_view counter_name,
                             std::string_view instance_name) {
  return ThePerfReader().GetCounterValue(object_index, counter_name, instance_name);
}

}  // namespace common
