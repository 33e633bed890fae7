#pragma once
// A registry for the performance-data reader that serves a hand-built
// catalogue and data block and records what the reader asked for. Header-only:
// used by the tests of common and of the agent.

#include <cstring>
#include <string>
#include <vector>

#include "common/PerfModule.h"
#include "platform/PerfData.h"

namespace testsupport {

class FakePerfRegistry : public common::PerfRegistry {
 public:
  std::string Catalogue = platform::PerfCounterCatalogue();
  bool CatalogueKeyExists = true;
  std::vector<uint8_t> Block;                 // the answer to every data query
  std::vector<platform::DWORD> OfferedSizes;  // buffer size of each data query
  std::vector<std::string> KeyLists;          // value name of each data query
  int DataCloses = 0;
  bool NeverFits = false;  // answer every data query with ERROR_MORE_DATA

  platform::LSTATUS OpenKey(platform::HKEY key, const char* sub_key, platform::REGSAM,
                            platform::HKEY* result) override {
    if (key != platform::HKEY_LOCAL_MACHINE || !CatalogueKeyExists ||
        std::string(sub_key) != "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009") {
      return platform::ERROR_FILE_NOT_FOUND;
    }
    *result = kCatalogueKey;
    return platform::ERROR_SUCCESS;
  }

  platform::LSTATUS QueryValue(platform::HKEY key, const char* value_name, platform::DWORD* type,
                               platform::BYTE* data, platform::DWORD* size) override {
    if (key == kCatalogueKey) {
      if (std::string(value_name) != "Counter") return platform::ERROR_FILE_NOT_FOUND;
      *type = 7;
      if (data != nullptr) {
        if (*size < Catalogue.size()) return platform::ERROR_MORE_DATA;
        std::memcpy(data, Catalogue.data(), Catalogue.size());
      }
      *size = static_cast<platform::DWORD>(Catalogue.size());
      return platform::ERROR_SUCCESS;
    }
    if (key != platform::HKEY_PERFORMANCE_DATA) return platform::ERROR_INVALID_HANDLE;
    OfferedSizes.push_back(*size);
    KeyLists.emplace_back(value_name);
    *type = 3;
    if (NeverFits || data == nullptr || *size < Block.size()) {
      *size = 0;
      return platform::ERROR_MORE_DATA;
    }
    if (!Block.empty()) std::memcpy(data, Block.data(), Block.size());
    *size = static_cast<platform::DWORD>(Block.size());
    return platform::ERROR_SUCCESS;
  }

  platform::LSTATUS CloseKey(platform::HKEY key) override {
    if (key == platform::HKEY_PERFORMANCE_DATA) ++DataCloses;
    return platform::ERROR_SUCCESS;
  }

 private:
  inline static const platform::HKEY kCatalogueKey = reinterpret_cast<platform::HKEY>(0x4242);
};

// A data block of the given objects whose header carries perf_time_100ns.
inline std::vector<uint8_t> MakeBlock(const std::vector<platform::PerfObjectData>& objects,
                                      int64_t perf_time_100ns = 0) {
  platform::PerfBlockHeader header;
  header.SystemName = "TEST";
  header.PerfFreq = 10000000;
  header.PerfTime100nSec = perf_time_100ns;
  return platform::WritePerfDataBlock(header, objects);
}

// An object with instances; values[i][c] is counter c of instance i.
inline platform::PerfObjectData MakeObject(platform::DWORD index,
                                           std::vector<platform::PerfCounterDef> counters,
                                           std::vector<platform::PerfInstanceData> instances,
                                           bool has_instances = true) {
  platform::PerfObjectData object;
  object.NameIndex = index;
  object.Counters = std::move(counters);
  object.Instances = std::move(instances);
  object.HasInstances = has_instances;
  return object;
}

}  // namespace testsupport
