#include "platform/linux/SdBusLibrary.h"

#include <dlfcn.h>

namespace platform::systemd {

namespace {

// Looks `name` up as the type of `slot`; false when the library lacks it.
template <typename Function>
bool Resolve(void* handle, const char* name, Function* slot) {
  *slot = reinterpret_cast<Function>(dlsym(handle, name));
  return *slot != nullptr;
}

}  // namespace

std::optional<SdBusLibrary> LoadSdBusLibrary(const char* soname) {
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::nullopt;
  SdBusLibrary lib{};
  const bool complete =
      Resolve(handle, "sd_bus_open_system", &lib.open_system) &&
      Resolve(handle, "sd_bus_flush_close_unref", &lib.flush_close_unref) &&
      Resolve(handle, "sd_bus_call_method", &lib.call_method) &&
      Resolve(handle, "sd_bus_message_enter_container", &lib.message_enter_container) &&
      Resolve(handle, "sd_bus_message_exit_container", &lib.message_exit_container) &&
      Resolve(handle, "sd_bus_message_peek_type", &lib.message_peek_type) &&
      Resolve(handle, "sd_bus_message_skip", &lib.message_skip) &&
      Resolve(handle, "sd_bus_message_read", &lib.message_read) &&
      Resolve(handle, "sd_bus_message_read_strv", &lib.message_read_strv) &&
      Resolve(handle, "sd_bus_message_unref", &lib.message_unref) &&
      Resolve(handle, "sd_bus_error_free", &lib.error_free) &&
      Resolve(handle, "sd_bus_error_is_set", &lib.error_is_set) &&
      Resolve(handle, "sd_bus_error_has_name", &lib.error_has_name);
  if (!complete) {
    dlclose(handle);
    return std::nullopt;
  }
  return lib;
}

const SdBusLibrary* SdBus() {
  static const std::optional<SdBusLibrary> lib = LoadSdBusLibrary("libsystemd.so.0");
  return lib ? &*lib : nullptr;
}

}  // namespace platform::systemd
