#pragma once
// The registry calls in their Windows shape, over the read-only views of
// RegistryView.h and the performance data of PerfData.h. Return codes, size
// handling and enumeration codes are those a Windows machine gives.

#include <cstdint>

#include "platform/RegistryView.h"
#include "platform/WinTypes.h"

namespace platform {

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// The predefined keys have 32-bit values that are sign-extended into the
// handle, as the Windows headers cast them.
inline HKEY PredefinedKey(int32_t value) {
  return reinterpret_cast<HKEY>(static_cast<intptr_t>(value));
}
inline const HKEY HKEY_CLASSES_ROOT = PredefinedKey(static_cast<int32_t>(0x80000000));
inline const HKEY HKEY_CURRENT_USER = PredefinedKey(static_cast<int32_t>(0x80000001));
inline const HKEY HKEY_LOCAL_MACHINE = PredefinedKey(static_cast<int32_t>(0x80000002));
inline const HKEY HKEY_USERS = PredefinedKey(static_cast<int32_t>(0x80000003));
inline const HKEY HKEY_PERFORMANCE_DATA = PredefinedKey(static_cast<int32_t>(0x80000004));
inline const HKEY HKEY_PERFORMANCE_TEXT = PredefinedKey(static_cast<int32_t>(0x80000050));
inline const HKEY HKEY_PERFORMANCE_NLSTEXT = PredefinedKey(static_cast<int32_t>(0x80000060));

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;

// Opens a subkey of an open key or of HKEY_LOCAL_MACHINE. 0, or
// ERROR_FILE_NOT_FOUND (no such key), ERROR_ACCESS_DENIED (write access asked
// of the read-only tree), ERROR_INVALID_HANDLE (a closed handle, or
// HKEY_PERFORMANCE_DATA, which is never opened), ERROR_INVALID_PARAMETER.
LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM sam, PHKEY result);

// Reads a value. With data NULL only the size is reported. A buffer that is
// too small gives ERROR_MORE_DATA with *data_size set to the size needed.
// On HKEY_PERFORMANCE_DATA the value name is a list of object indices (or
// "Global"): the result is a freshly built data block (REG_BINARY); when it
// does not fit, or data is NULL, the answer is ERROR_MORE_DATA with *data_size
// set to 0, as Windows does. "Counter" there gives the catalogue.
LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size);

// Names the subkey at index (0, 1, ...): 0; ERROR_MORE_DATA when the name and
// its NUL do not fit in *name_size characters; ERROR_NO_MORE_ITEMS after the
// last. On success *name_size holds the name's length without the NUL.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved,
                      char* class_name, DWORD* class_size, FILETIME* last_write_time);

// Closes an opened key; the predefined keys close with 0 and stay usable.
LSTATUS RegCloseKey(HKEY key);

}  // namespace platform
