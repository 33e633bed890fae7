#pragma once
// libsystemd's sd-bus, loaded with dlopen when the systemd backend first talks
// to the bus instead of being linked: a program that never asks systemd's
// manager anything (every program on a machine without systemd, and a service
// reporting its status) does not map libsystemd and the compression and crypto
// libraries it pulls in. The headers still give the types and prototypes.

#include <systemd/sd-bus.h>

#include <optional>

namespace platform::systemd {

// The sd-bus functions the backend calls, with the library's own signatures.
struct SdBusLibrary {
  decltype(&::sd_bus_open_system) open_system;
  decltype(&::sd_bus_flush_close_unref) flush_close_unref;
  decltype(&::sd_bus_call_method) call_method;
  decltype(&::sd_bus_message_enter_container) message_enter_container;
  decltype(&::sd_bus_message_exit_container) message_exit_container;
  decltype(&::sd_bus_message_peek_type) message_peek_type;
  decltype(&::sd_bus_message_skip) message_skip;
  decltype(&::sd_bus_message_read) message_read;
  decltype(&::sd_bus_message_read_strv) message_read_strv;
  decltype(&::sd_bus_message_unref) message_unref;
  decltype(&::sd_bus_error_free) error_free;
  decltype(&::sd_bus_error_is_set) error_is_set;
  decltype(&::sd_bus_error_has_name) error_has_name;
};

// Loads the library `soname` and looks every function up; nothing when the
// library cannot be loaded or lacks one of them (the handle is then released).
// A loaded library stays loaded for the life of the process.
std::optional<SdBusLibrary> LoadSdBusLibrary(const char* soname);

// libsystemd.so.0, loaded on the first call (thread-safe); nullptr when it is
// not there.
const SdBusLibrary* SdBus();

}  // namespace platform::systemd
