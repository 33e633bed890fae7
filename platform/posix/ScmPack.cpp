#include "platform/posix/ScmPack.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "platform/posix/ScmHandles.h"

namespace platform::scm {

namespace {

static_assert(sizeof(ENUM_SERVICE_STATUSA) == 48 || sizeof(void*) != 8);
static_assert(offsetof(ENUM_SERVICE_STATUSA, ServiceStatus) == 16 || sizeof(void*) != 8);
static_assert(sizeof(QUERY_SERVICE_CONFIGA) == 64 || sizeof(void*) != 8);
static_assert(offsetof(QUERY_SERVICE_CONFIGA, lpBinaryPathName) == 16 || sizeof(void*) != 8);
static_assert(offsetof(QUERY_SERVICE_CONFIGA, lpDisplayName) == 56 || sizeof(void*) != 8);

size_t EntrySize(const EnumItem& item) {
  return sizeof(ENUM_SERVICE_STATUSA) + item.name.size() + 1 + item.display_name.size() + 1;
}

}  // namespace

BOOL PackEnumEntries(const std::vector<EnumItem>& items, ENUM_SERVICE_STATUSA* services,
                     DWORD buffer_size, DWORD* bytes_needed, DWORD* services_returned,
                     DWORD* resume_handle) {
  size_t first = resume_handle != nullptr ? std::min<size_t>(*resume_handle, items.size()) : 0;
  size_t capacity = services != nullptr ? buffer_size : 0;
  size_t count = 0;
  size_t used = 0;
  while (first + count < items.size() && used + EntrySize(items[first + count]) <= capacity) {
    used += EntrySize(items[first + count]);
    ++count;
  }

  // Fixed entries first, then their strings.
  char* text = reinterpret_cast<char*>(services) + count * sizeof(ENUM_SERVICE_STATUSA);
  auto place = [&text](const std::string& value) {
    std::memcpy(text, value.c_str(), value.size() + 1);
    char* placed = text;
    text += value.size() + 1;
    return placed;
  };
  for (size_t i = 0; i < count; ++i) {
    const EnumItem& item = items[first + i];
    services[i].lpServiceName = place(item.name);
    services[i].lpDisplayName = place(item.display_name);
    services[i].ServiceStatus = item.status;
  }
  *services_returned = static_cast<DWORD>(count);

  if (first + count < items.size()) {
    size_t rest = 0;
    for (size_t i = first + count; i < items.size(); ++i) rest += EntrySize(items[i]);
    *bytes_needed = static_cast<DWORD>(rest);
    if (resume_handle != nullptr) *resume_handle = static_cast<DWORD>(first + count);
    return Fail(ERROR_MORE_DATA);
  }
  *bytes_needed = 0;
  if (resume_handle != nullptr) *resume_handle = 0;
  return TRUE;
}

BOOL PackServiceConfig(const ServiceConfig& record, QUERY_SERVICE_CONFIGA* config,
                       DWORD buffer_size, DWORD* bytes_needed) {
  // Strings follow the fixed part; the dependencies are an empty multi-string.
  const std::string_view strings[] = {record.binary_path, "", std::string_view("\0", 1),
                                      record.account, record.display_name};
  size_t needed = sizeof(QUERY_SERVICE_CONFIGA);
  for (std::string_view text : strings) needed += text.size() + 1;
  if (config == nullptr || buffer_size < needed) {
    *bytes_needed = static_cast<DWORD>(needed);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  char* base = reinterpret_cast<char*>(config);
  size_t offset = sizeof(QUERY_SERVICE_CONFIGA);
  char* placed[5];
  for (int i = 0; i < 5; ++i) {
    placed[i] = base + offset;
    std::memcpy(placed[i], strings[i].data(), strings[i].size());
    placed[i][strings[i].size()] = '\0';
    offset += strings[i].size() + 1;
  }
  config->dwServiceType = record.type;
  config->dwStartType = record.start_type;
  config->dwErrorControl = record.error_control;
  config->lpBinaryPathName = placed[0];
  config->lpLoadOrderGroup = placed[1];
  config->dwTagId = 0;
  config->lpDependencies = placed[2];
  config->lpServiceStartName = placed[3];
  config->lpDisplayName = placed[4];
  *bytes_needed = 0;
  return TRUE;
}

BOOL PackDescription(const std::string& text, BYTE* buffer, DWORD buffer_size,
                     DWORD* bytes_needed) {
  size_t needed = sizeof(SERVICE_DESCRIPTIONA) + (text.empty() ? 0 : text.size() + 1);
  if (buffer == nullptr || buffer_size < needed) {
    *bytes_needed = static_cast<DWORD>(needed);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer);
  description->lpDescription = nullptr;
  if (!text.empty()) {
    char* place = reinterpret_cast<char*>(buffer) + sizeof(SERVICE_DESCRIPTIONA);
    std::memcpy(place, text.c_str(), text.size() + 1);
    description->lpDescription = place;
  }
  *bytes_needed = 0;
  return TRUE;
}

}  // namespace platform::scm
