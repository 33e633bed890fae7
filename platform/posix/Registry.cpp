#include "platform/Registry.h"

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/PerfData.h"

namespace platform {
namespace {

// An opened key: the path below HKEY_LOCAL_MACHINE, the view it was opened in
// and, once enumerated, the subkey names (so indices stay stable while a
// caller walks them). The names are shared, so that a walk by index does not
// copy the whole list at every step.
using KeyNames = std::shared_ptr<const std::vector<std::string>>;
struct OpenKey {
  std::shared_ptr<const RegistryView> View;
  std::string Path;
  KeyNames SubKeys = nullptr;
};

class KeyTable {
 public:
  HKEY Add(OpenKey key) {
    std::lock_guard lock(mutex_);
    next_ += 4;
    keys_.emplace(next_, std::move(key));
    return reinterpret_cast<HKEY>(next_);
  }

  // A copy of the opened key; nothing when the handle is not open.
  std::optional<OpenKey> Get(HKEY key) {
    std::lock_guard lock(mutex_);
    const auto found = keys_.find(reinterpret_cast<uintptr_t>(key));
    if (found == keys_.end()) return std::nullopt;
    return found->second;
  }

  // The subkey names of an opened key, listed on first use; null when the
  // handle is not open.
  KeyNames SubKeys(HKEY key) {
    std::lock_guard lock(mutex_);
    const auto found = keys_.find(reinterpret_cast<uintptr_t>(key));
    if (found == keys_.end()) return nullptr;
    OpenKey& open = found->second;
    if (!open.SubKeys) {
      open.SubKeys = std::make_shared<const std::vector<std::string>>(
          open.View->SubKeys(open.Path).value_or(std::vector<std::string>{}));
    }
    return open.SubKeys;
  }

  bool Remove(HKEY key) {
    std::lock_guard lock(mutex_);
    return keys_.erase(reinterpret_cast<uintptr_t>(key)) > 0;
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 0x1000;
  std::map<uintptr_t, OpenKey> keys_;
};

KeyTable& Keys() {
  static KeyTable table;
  return table;
}

bool IsPredefined(HKEY key) {
  const auto value = static_cast<int32_t>(reinterpret_cast<intptr_t>(key));
  return value < 0 && reinterpret_cast<intptr_t>(key) == static_cast<intptr_t>(value);
}

bool IsCatalogueName(std::string_view name) {
  return KeyNamesEqual(name, "Counter") || KeyNamesEqual(name, "Counter 009");
}

// The usual value answer: size only, too small (ERROR_MORE_DATA, size needed)
// or copied.
LSTATUS CopyValue(const RegistryValue& value, DWORD* type, BYTE* data, DWORD* data_size) {
  if (type != nullptr) *type = value.Type;
  const auto needed = static_cast<DWORD>(value.Data.size());
  if (data == nullptr) {
    if (data_size != nullptr) *data_size = needed;
    return ERROR_SUCCESS;
  }
  if (data_size == nullptr) return ERROR_INVALID_PARAMETER;
  if (*data_size < needed) {
    *data_size = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, value.Data.data(), needed);
  *data_size = needed;
  return ERROR_SUCCESS;
}

LSTATUS QueryPerformanceValue(std::string_view name, DWORD* type, BYTE* data, DWORD* data_size) {
  if (IsCatalogueName(name)) {
    return CopyValue(RegMultiSzValue(PerfCounterCatalogue()), type, data, data_size);
  }
  if (type != nullptr) *type = REG_BINARY;
  // Windows answers a data query without a buffer, or with one too small, by
  // ERROR_MORE_DATA and a size of 0: the caller must grow its buffer blindly.
  if (data == nullptr) {
    if (data_size != nullptr) *data_size = 0;
    return ERROR_MORE_DATA;
  }
  if (data_size == nullptr) return ERROR_INVALID_PARAMETER;
  const std::vector<uint8_t> block = BuildPerformanceData(name);
  if (*data_size < block.size()) {
    *data_size = 0;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, block.data(), block.size());
  *data_size = static_cast<DWORD>(block.size());
  return ERROR_SUCCESS;
}

// The view and path a key handle stands for; nothing for a bad handle.
std::optional<OpenKey> Resolve(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return OpenKey{LocalMachineView(), ""};
  if (IsPredefined(key)) {
    // The other hives hold nothing here.
    return OpenKey{std::make_shared<RegistryView>(), ""};
  }
  return Keys().Get(key);
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD /*options*/, REGSAM sam, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key == HKEY_PERFORMANCE_DATA || key == HKEY_PERFORMANCE_TEXT ||
      key == HKEY_PERFORMANCE_NLSTEXT) {
    return ERROR_INVALID_HANDLE;
  }
  std::optional<OpenKey> parent = Resolve(key);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::string path = parent->Path;
  if (sub_key != nullptr && *sub_key != '\0') {
    if (!path.empty()) path.push_back('\\');
    path.append(sub_key);
  }
  if (!parent->View->KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  if ((sam & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0) return ERROR_ACCESS_DENIED;
  *result = Keys().Add(OpenKey{parent->View, path});
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  const std::string_view name = value_name == nullptr ? "" : value_name;
  if (key == HKEY_PERFORMANCE_DATA) return QueryPerformanceValue(name, type, data, data_size);
  if (key == HKEY_PERFORMANCE_TEXT || key == HKEY_PERFORMANCE_NLSTEXT) {
    if (!IsCatalogueName(name)) return ERROR_FILE_NOT_FOUND;
    return CopyValue(RegMultiSzValue(PerfCounterCatalogue()), type, data, data_size);
  }
  const std::optional<OpenKey> open = Resolve(key);
  if (!open) return ERROR_INVALID_HANDLE;
  const std::optional<RegistryValue> value = open->View->Value(open->Path, name);
  if (!value) return ERROR_FILE_NOT_FOUND;
  return CopyValue(*value, type, data, data_size);
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved,
                      char* class_name, DWORD* class_size, FILETIME* last_write_time) {
  if (name == nullptr || name_size == nullptr || reserved != nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyNames names;
  if (key == HKEY_LOCAL_MACHINE || IsPredefined(key)) {
    const std::optional<OpenKey> open = Resolve(key);
    if (!open) return ERROR_INVALID_HANDLE;
    names = std::make_shared<const std::vector<std::string>>(
        open->View->SubKeys("").value_or(std::vector<std::string>{}));
  } else {
    names = Keys().SubKeys(key);
    if (!names) return ERROR_INVALID_HANDLE;
  }
  if (index >= names->size()) return ERROR_NO_MORE_ITEMS;
  const std::string& found = (*names)[index];
  if (found.size() + 1 > *name_size) return ERROR_MORE_DATA;
  std::memcpy(name, found.c_str(), found.size() + 1);
  *name_size = static_cast<DWORD>(found.size());
  if (class_name != nullptr && class_size != nullptr && *class_size > 0) {
    *class_name = '\0';
    *class_size = 0;
  }
  if (last_write_time != nullptr) *last_write_time = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  return Keys().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace platform
