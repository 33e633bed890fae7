#include "platform/linux/SystemdBus.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/linux/SdBusLibrary.h"
#include "platform/linux/SystemdUnitFile.h"
#include "platform/posix/ScmStore.h"

namespace platform::systemd {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr std::string_view kSuffix = ".service";

// libsystemd is missing: the bus cannot be spoken to at all.
constexpr DWORD kErrorModNotFound = 126;

// One connection, one error record and one reply, released together.
class Call {
 public:
  Call() = default;
  ~Call() {
    if (sd_ == nullptr) return;
    sd_->message_unref(reply_);
    sd_->error_free(&error_);
    sd_->flush_close_unref(bus_);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Loads sd-bus and opens the system bus; false with *error set when either
  // fails.
  bool Open(DWORD* error) {
    const SdBusLibrary* sd = SdBus();
    if (sd == nullptr) {
      *error = kErrorModNotFound;
      return false;
    }
    const int r = sd->open_system(&bus_);
    if (r < 0) {
      bus_ = nullptr;
      *error = WinErrorFromErrno(-r);
      return false;
    }
    sd_ = sd;
    return true;
  }

  // The library; only after Open succeeded.
  const SdBusLibrary& sd() const { return *sd_; }
  sd_bus* bus() { return bus_; }
  sd_bus_error* error() { return &error_; }
  sd_bus_message** reply() { return &reply_; }
  sd_bus_message* message() { return reply_; }

  // The Win32 error for a failed call's return value r.
  DWORD Translate(int r) const {
    if (sd_->error_is_set(&error_)) {
      if (sd_->error_has_name(&error_, "org.freedesktop.systemd1.NoSuchUnit") ||
          sd_->error_has_name(&error_, "org.freedesktop.DBus.Error.FileNotFound")) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
      }
      if (sd_->error_has_name(&error_, "org.freedesktop.DBus.Error.AccessDenied") ||
          sd_->error_has_name(&error_,
                              "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")) {
        return ERROR_ACCESS_DENIED;
      }
    }
    return WinErrorFromErrno(r < 0 ? -r : EIO);
  }

 private:
  const SdBusLibrary* sd_ = nullptr;
  sd_bus* bus_ = nullptr;
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
  sd_bus_message* reply_ = nullptr;
};

bool IsServiceId(std::string_view id) {
  return id.size() > kSuffix.size() && id.ends_with(kSuffix) &&
         !id.ends_with("@" + std::string(kSuffix));
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

DWORD ReadLoadedUnits(std::vector<Unit>* units) {
  Call call;
  DWORD error = 0;
  if (!call.Open(&error)) return error;
  const SdBusLibrary& sd = call.sd();
  int r = sd.call_method(call.bus(), kDestination, kManagerPath, kManager, "ListUnits",
                         call.error(), call.reply(), "");
  if (r < 0) return call.Translate(r);
  sd_bus_message* m = call.message();
  if ((r = sd.message_enter_container(m, 'a', "(ssssssouso)")) < 0) return call.Translate(r);
  const char *id, *description, *load, *active, *sub, *following, *path, *job_type, *job_path;
  uint32_t job_id;
  while ((r = sd.message_read(m, "(ssssssouso)", &id, &description, &load, &active, &sub,
                              &following, &path, &job_id, &job_type, &job_path)) > 0) {
    if (!IsServiceId(id) || std::string_view(load) == "not-found") continue;
    units->push_back({id, *description ? description : id, active, path});
  }
  return r < 0 ? call.Translate(r) : 0;
}

DWORD ReadUnitFiles(std::vector<std::string>* ids) {
  Call call;
  DWORD error = 0;
  if (!call.Open(&error)) return error;
  const SdBusLibrary& sd = call.sd();
  int r = sd.call_method(call.bus(), kDestination, kManagerPath, kManager, "ListUnitFiles",
                         call.error(), call.reply(), "");
  if (r < 0) return call.Translate(r);
  sd_bus_message* m = call.message();
  if ((r = sd.message_enter_container(m, 'a', "(ss)")) < 0) return call.Translate(r);
  const char *path, *state;
  while ((r = sd.message_read(m, "(ss)", &path, &state)) > 0) {
    std::string id = BaseName(path);
    if (IsServiceId(id)) ids->push_back(std::move(id));
  }
  return r < 0 ? call.Translate(r) : 0;
}

// The object path of a unit, loading it when needed.
std::optional<std::string> LoadUnitPath(std::string_view unit_id, DWORD* error) {
  Call call;
  if (!call.Open(error)) return std::nullopt;
  const SdBusLibrary& sd = call.sd();
  const std::string id(unit_id);
  int r = sd.call_method(call.bus(), kDestination, kManagerPath, kManager, "LoadUnit", call.error(),
                         call.reply(), "s", id.c_str());
  const char* path = nullptr;
  if (r >= 0) r = sd.message_read(call.message(), "o", &path);
  if (r < 0) {
    *error = call.Translate(r);
    return std::nullopt;
  }
  return std::string(path);
}

std::string StringProperty(Call& call, const std::string& path, const char* interface,
                           const char* name) {
  const SdBusLibrary& sd = call.sd();
  char* value = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::string text;
  if (sd.get_property_string(call.bus(), kDestination, path.c_str(), interface, name, &error,
                             &value) >= 0 &&
      value != nullptr) {
    text = value;
  }
  std::free(value);
  sd.error_free(&error);
  return text;
}

// The program and arguments of the first ExecStart= entry (a(sasbttttuii)).
std::vector<std::string> ExecStartOf(Call& call, const std::string& path) {
  const SdBusLibrary& sd = call.sd();
  std::vector<std::string> argv;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd.get_property(call.bus(), kDestination, path.c_str(), kServiceInterface, "ExecStart",
                      &error, &reply, "a(sasbttttuii)") >= 0 &&
      sd.message_enter_container(reply, 'a', "(sasbttttuii)") > 0 &&
      sd.message_enter_container(reply, 'r', "sasbttttuii") > 0) {
    const char* program = nullptr;
    char** args = nullptr;
    if (sd.message_read(reply, "s", &program) > 0 && sd.message_read_strv(reply, &args) > 0) {
      for (char** arg = args; *arg != nullptr; ++arg) argv.emplace_back(*arg);
      // argv[0] is what the program sees; the path is what runs.
      if (argv.empty())
        argv.emplace_back(program);
      else
        argv[0] = program;
    }
    if (args != nullptr) {
      for (char** arg = args; *arg != nullptr; ++arg) std::free(*arg);
      std::free(args);
    }
  }
  sd.message_unref(reply);
  sd.error_free(&error);
  return argv;
}

// One manager method whose reply is not needed; 0 or the Win32 error.
template <typename... Args>
DWORD CallManager(const char* method, const char* signature, Args... args) {
  Call call;
  DWORD error = 0;
  if (!call.Open(&error)) return error;
  const SdBusLibrary& sd = call.sd();
  const int r = sd.call_method(call.bus(), kDestination, kManagerPath, kManager, method,
                               call.error(), call.reply(), signature, args...);
  return r < 0 ? call.Translate(r) : 0;
}

}  // namespace

std::optional<std::vector<Unit>> ListServiceUnits(DWORD* error) {
  std::vector<Unit> units;
  std::vector<std::string> files;
  if ((*error = ReadLoadedUnits(&units)) != 0) return std::nullopt;
  // Unit files are listed where the manager can; a loaded list alone is still
  // an answer.
  if (ReadUnitFiles(&files) == 0) {
    std::set<std::string> loaded;
    for (const Unit& unit : units) loaded.insert(unit.id);
    for (const std::string& id : files) {
      if (loaded.insert(id).second) units.push_back({id, id, "inactive", ""});
    }
  }
  std::sort(units.begin(), units.end(),
            [](const Unit& a, const Unit& b) { return scm::NameLess(a.id, b.id); });
  return units;
}

std::optional<Unit> FindServiceUnit(std::string_view name, DWORD* error) {
  auto units = ListServiceUnits(error);
  if (!units) return std::nullopt;
  const std::string with_suffix = std::string(name) + std::string(kSuffix);
  const std::string derived = UnitNameFor(name);
  const Unit* found = nullptr;
  for (const Unit& unit : *units) {
    if (scm::NamesEqual(unit.id, name) || scm::NamesEqual(unit.id, with_suffix) ||
        scm::NamesEqual(unit.id, derived)) {
      found = &unit;
      break;
    }
  }
  for (size_t i = 0; found == nullptr && i < units->size(); ++i) {
    if (scm::NamesEqual((*units)[i].description, name)) found = &(*units)[i];
  }
  if (found == nullptr) {
    *error = ERROR_SERVICE_DOES_NOT_EXIST;
    return std::nullopt;
  }
  Unit unit = *found;
  if (unit.object_path.empty()) {
    auto path = LoadUnitPath(unit.id, error);
    if (!path) return std::nullopt;
    unit.object_path = *path;
  }
  return unit;
}

std::optional<UnitDetails> LoadUnitDetails(std::string_view unit_id, DWORD* error) {
  auto path = LoadUnitPath(unit_id, error);
  if (!path) return std::nullopt;
  Call call;
  if (!call.Open(error)) return std::nullopt;
  const SdBusLibrary& sd = call.sd();
  UnitDetails details;
  details.active_state = StringProperty(call, *path, kUnitInterface, "ActiveState");
  details.description = StringProperty(call, *path, kUnitInterface, "Description");
  details.unit_file_state = StringProperty(call, *path, kUnitInterface, "UnitFileState");
  details.fragment_path = StringProperty(call, *path, kUnitInterface, "FragmentPath");
  details.user = StringProperty(call, *path, kServiceInterface, "User");
  details.exec_start = ExecStartOf(call, *path);
  uint32_t pid = 0;
  sd_bus_error ignored = SD_BUS_ERROR_NULL;
  if (sd.get_property_trivial(call.bus(), kDestination, path->c_str(), kServiceInterface, "MainPID",
                              &ignored, 'u', &pid) >= 0) {
    details.main_pid = static_cast<pid_t>(pid);
  }
  sd.error_free(&ignored);
  if (details.active_state.empty()) {
    *error = ERROR_SERVICE_DOES_NOT_EXIST;
    return std::nullopt;
  }
  return details;
}

DWORD StartUnit(std::string_view unit_id) {
  return CallManager("StartUnit", "ss", std::string(unit_id).c_str(), "replace");
}

DWORD StopUnit(std::string_view unit_id) {
  return CallManager("StopUnit", "ss", std::string(unit_id).c_str(), "replace");
}

DWORD ReloadManager() {
  return CallManager("Reload", "");
}

DWORD EnableUnitFile(std::string_view unit_id) {
  // Files, runtime = false, force = true.
  return CallManager("EnableUnitFiles", "asbb", 1, std::string(unit_id).c_str(), 0, 1);
}

DWORD DisableUnitFile(std::string_view unit_id) {
  return CallManager("DisableUnitFiles", "asb", 1, std::string(unit_id).c_str(), 0);
}

}  // namespace platform::systemd
