#pragma once
// Performance data in the published Windows layout: the PERF_DATA_BLOCK bytes
// that a query of HKEY_PERFORMANCE_DATA returns, built here from /proc and /sys
// at the moment of the query, and the English counter-name catalogue whose
// indices those bytes carry.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

namespace platform {

// ---------------------------------------------------------------------------
// Binary layout (little endian, 8-byte packing as in winperf.h).

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

struct PERF_DATA_BLOCK {
  char16_t Signature[4];
  DWORD LittleEndian;
  DWORD Version;
  DWORD Revision;
  DWORD TotalByteLength;
  DWORD HeaderLength;
  DWORD NumObjectTypes;
  LONG DefaultObject;
  SYSTEMTIME SystemTime;
  alignas(8) int64_t PerfTime;
  alignas(8) int64_t PerfFreq;
  alignas(8) int64_t PerfTime100nSec;
  DWORD SystemNameLength;
  DWORD SystemNameOffset;
};

struct PERF_OBJECT_TYPE {
  DWORD TotalByteLength;
  DWORD DefinitionLength;
  DWORD HeaderLength;
  DWORD ObjectNameTitleIndex;
  DWORD ObjectNameTitle;  // a pointer in 32-bit builds; always 0 here
  DWORD ObjectHelpTitleIndex;
  DWORD ObjectHelpTitle;
  DWORD DetailLevel;
  DWORD NumCounters;
  LONG DefaultCounter;
  LONG NumInstances;
  DWORD CodePage;
  alignas(8) int64_t PerfTime;
  alignas(8) int64_t PerfFreq;
};

struct PERF_COUNTER_DEFINITION {
  DWORD ByteLength;
  DWORD CounterNameTitleIndex;
  DWORD CounterNameTitle;
  DWORD CounterHelpTitleIndex;
  DWORD CounterHelpTitle;
  LONG DefaultScale;
  DWORD DetailLevel;
  DWORD CounterType;
  DWORD CounterSize;
  DWORD CounterOffset;
};

struct PERF_INSTANCE_DEFINITION {
  DWORD ByteLength;
  DWORD ParentObjectTitleIndex;
  DWORD ParentObjectInstance;
  LONG UniqueID;
  DWORD NameOffset;
  DWORD NameLength;
};

struct PERF_COUNTER_BLOCK {
  DWORD ByteLength;
};

static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(sizeof(PERF_DATA_BLOCK) == 88);
static_assert(offsetof(PERF_DATA_BLOCK, TotalByteLength) == 20);
static_assert(offsetof(PERF_DATA_BLOCK, HeaderLength) == 24);
static_assert(offsetof(PERF_DATA_BLOCK, NumObjectTypes) == 28);
static_assert(offsetof(PERF_DATA_BLOCK, DefaultObject) == 32);
static_assert(offsetof(PERF_DATA_BLOCK, SystemTime) == 36);
static_assert(offsetof(PERF_DATA_BLOCK, PerfTime) == 56);
static_assert(offsetof(PERF_DATA_BLOCK, PerfFreq) == 64);
static_assert(offsetof(PERF_DATA_BLOCK, PerfTime100nSec) == 72);
static_assert(offsetof(PERF_DATA_BLOCK, SystemNameLength) == 80);
static_assert(offsetof(PERF_DATA_BLOCK, SystemNameOffset) == 84);
static_assert(sizeof(PERF_OBJECT_TYPE) == 64);
static_assert(offsetof(PERF_OBJECT_TYPE, ObjectNameTitleIndex) == 12);
static_assert(offsetof(PERF_OBJECT_TYPE, NumCounters) == 32);
static_assert(offsetof(PERF_OBJECT_TYPE, NumInstances) == 40);
static_assert(offsetof(PERF_OBJECT_TYPE, CodePage) == 44);
static_assert(offsetof(PERF_OBJECT_TYPE, PerfTime) == 48);
static_assert(offsetof(PERF_OBJECT_TYPE, PerfFreq) == 56);
static_assert(sizeof(PERF_COUNTER_DEFINITION) == 40);
static_assert(offsetof(PERF_COUNTER_DEFINITION, CounterType) == 28);
static_assert(offsetof(PERF_COUNTER_DEFINITION, CounterSize) == 32);
static_assert(offsetof(PERF_COUNTER_DEFINITION, CounterOffset) == 36);
static_assert(sizeof(PERF_INSTANCE_DEFINITION) == 24);
static_assert(offsetof(PERF_INSTANCE_DEFINITION, NameOffset) == 16);
static_assert(offsetof(PERF_INSTANCE_DEFINITION, NameLength) == 20);
static_assert(sizeof(PERF_COUNTER_BLOCK) == 4);

inline constexpr LONG PERF_NO_INSTANCES = -1;
inline constexpr LONG PERF_NO_UNIQUE_ID = -1;
inline constexpr DWORD PERF_DETAIL_NOVICE = 100;
inline constexpr DWORD PERF_DETAIL_ADVANCED = 200;
inline constexpr DWORD PERF_DETAIL_EXPERT = 300;
inline constexpr DWORD PERF_DETAIL_WIZARD = 400;

// Counter types. Bit 0x100 of the type selects an 8-byte value.
inline constexpr DWORD PERF_SIZE_LARGE = 0x00000100;
inline constexpr DWORD PERF_COUNTER_COUNTER = 0x10410400;
inline constexpr DWORD PERF_COUNTER_BULK_COUNT = 0x10410500;
inline constexpr DWORD PERF_COUNTER_RAWCOUNT = 0x00010000;
inline constexpr DWORD PERF_COUNTER_LARGE_RAWCOUNT = 0x00010100;
inline constexpr DWORD PERF_100NSEC_TIMER = 0x20510500;
inline constexpr DWORD PERF_100NSEC_TIMER_INV = 0x21510500;
inline constexpr DWORD PERF_ELAPSED_TIME = 0x30240500;
inline constexpr DWORD PERF_RAW_FRACTION = 0x20020400;
inline constexpr DWORD PERF_RAW_BASE = 0x40030403;

// Object indices of the English catalogue.
inline constexpr DWORD kSystemObject = 2;
inline constexpr DWORD kMemoryObject = 4;
inline constexpr DWORD kProcessObject = 230;
inline constexpr DWORD kLogicalDiskObject = 236;
inline constexpr DWORD kProcessorObject = 238;
inline constexpr DWORD kObjectsObject = 260;
inline constexpr DWORD kNetworkInterfaceObject = 510;

// FILETIME of the Unix epoch: 100 ns units from 1601-01-01 to 1970-01-01.
inline constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;

// ---------------------------------------------------------------------------
// Building blocks. A description of objects, counters and values that
// WritePerfDataBlock lays out in the published format.

struct PerfCounterDef {
  DWORD NameIndex;  // help index is NameIndex + 1
  DWORD Type;       // the value's size follows from the type
  LONG DefaultScale = 0;
  DWORD DetailLevel = PERF_DETAIL_NOVICE;
};

struct PerfInstanceData {
  std::string Name;              // UTF-8; written as UTF-16LE
  std::vector<uint64_t> Values;  // one per counter; 4-byte counters keep the low 32 bits
};

struct PerfObjectData {
  DWORD NameIndex = 0;
  std::vector<PerfCounterDef> Counters;
  // false: a single counter block (NumInstances -1) taken from Instances[0].
  bool HasInstances = false;
  std::vector<PerfInstanceData> Instances;
  LONG DefaultCounter = -1;
  int64_t PerfTime = 0;  // object clock for elapsed-time counters
  int64_t PerfFreq = 0;
};

struct PerfBlockHeader {
  std::string SystemName;  // UTF-8; written as UTF-16LE
  SYSTEMTIME SystemTime{};
  int64_t PerfTime = 0;
  int64_t PerfFreq = 0;
  int64_t PerfTime100nSec = 0;
  LONG DefaultObject = 0;
};

// Size in bytes of a value of the counter type (4 or 8).
DWORD CounterSizeOfType(DWORD type);

// Lays out a complete data block: header, system name, then per object its
// type record, counter definitions and counter blocks (with instance
// definitions and names for objects with instances). Every record starts on an
// 8-byte boundary.
std::vector<uint8_t> WritePerfDataBlock(const PerfBlockHeader& header,
                                        const std::vector<PerfObjectData>& objects);

// ---------------------------------------------------------------------------
// The catalogue.

// The English "Counter" catalogue as an ANSI multi-string: "1", "1847", then
// index and name pairs in ascending index order, each NUL-terminated, and one
// more NUL at the end.
const std::string& PerfCounterCatalogue();

// The English name of an index of the catalogue; empty when unknown.
std::string_view PerfCounterName(DWORD index);

// ---------------------------------------------------------------------------
// The query.

// The objects a value name asks for: decimal indices separated by blanks, or
// "Global" for every object built without per-process work. Unknown words are
// ignored; the result is in block order (Process last) without repeats.
std::vector<DWORD> RequestedPerfObjects(std::string_view value_name);

// The data block for a value name, built from the /proc and /sys below root at
// the moment of the call. Objects this machine cannot provide are left out.
std::vector<uint8_t> BuildPerformanceData(std::string_view value_name,
                                          const std::string& root = "/");

}  // namespace platform
