#pragma once
// The Win32 buffer layouts of the service-manager queries, filled from plain
// records: one packing per call, shared by both backends so that the layouts,
// the sizes reported and the 122/234 answers cannot drift apart.

#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "platform/posix/ScmStore.h"

namespace platform::scm {

// One service of an enumeration, already filtered by type and state.
struct EnumItem {
  std::string name;
  std::string display_name;
  SERVICE_STATUS status{};
};

// EnumServicesStatusA's output from *resume_handle on: the fixed entries, then
// their strings. ERROR_MORE_DATA with *bytes_needed for the rest and the resume
// handle advanced when not all fit; TRUE with the handle reset otherwise.
BOOL PackEnumEntries(const std::vector<EnumItem>& items, ENUM_SERVICE_STATUSA* services,
                     DWORD buffer_size, DWORD* bytes_needed, DWORD* services_returned,
                     DWORD* resume_handle);

// QueryServiceConfigA's output: ERROR_INSUFFICIENT_BUFFER with *bytes_needed
// when the buffer is missing or too small.
BOOL PackServiceConfig(const ServiceConfig& record, QUERY_SERVICE_CONFIGA* config,
                       DWORD buffer_size, DWORD* bytes_needed);

// QueryServiceConfig2A's SERVICE_DESCRIPTIONA (lpDescription null when the text
// is empty), with the same buffer rule.
BOOL PackDescription(const std::string& text, BYTE* buffer, DWORD buffer_size,
                     DWORD* bytes_needed);

}  // namespace platform::scm
