#include "platform/linux/SystemdBus.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
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
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr std::string_view kSuffix = ".service";

// libsystemd is missing: the bus cannot be spoken to at all.
constexpr DWORD kErrorModNotFound = 126;

// One connection with the error record and reply of its latest method call,
// released together.
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
  // The reply of the latest successful Method.
  sd_bus_message* message() { return reply_; }

  // Calls a method of systemd's; the reply replaces the previous one. r < 0
  // on failure (see Translate).
  template <typename... Args>
  int Method(const char* path, const char* interface, const char* member, const char* signature,
             Args... args) {
    sd_->message_unref(reply_);
    reply_ = nullptr;
    sd_->error_free(&error_);
    return sd_->call_method(bus_, kDestination, path, interface, member, &error_, &reply_,
                            signature, args...);
  }
  int ManagerMethod(const char* member, const char* signature = "") {
    return Method(kManagerPath, kManager, member, signature);
  }
  template <typename... Args>
  int ManagerMethod(const char* member, const char* signature, Args... args) {
    return Method(kManagerPath, kManager, member, signature, args...);
  }

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

// One property wanted from a GetAll reply: its name, the signature of its
// value, and what reads the value (the message positioned inside the variant).
struct Wanted {
  const char* name;
  const char* signature;
  std::function<int(sd_bus_message*)> read;
};

Wanted StringProperty(const char* name, std::string* out) {
  return {name, "s", [out](sd_bus_message* m) {
            const char* value = nullptr;
            const int r = SdBus()->message_read(m, "s", &value);
            if (r > 0 && value != nullptr) *out = value;
            return r;
          }};
}

// The program and arguments of the first entry of an ExecStart property
// (a(sasbttttuii)); argv[0] is what the program sees, the path what runs.
Wanted ExecStartProperty(std::vector<std::string>* out) {
  return {"ExecStart", "a(sasbttttuii)", [out](sd_bus_message* m) {
            const SdBusLibrary& sd = *SdBus();
            int r = sd.message_enter_container(m, 'a', "(sasbttttuii)");
            if (r <= 0) return r;
            while ((r = sd.message_enter_container(m, 'r', "sasbttttuii")) > 0) {
              const char* program = nullptr;
              char** args = nullptr;
              r = sd.message_read(m, "s", &program);
              if (r > 0) r = sd.message_read_strv(m, &args);
              if (r > 0 && out->empty()) {
                for (char** arg = args; *arg != nullptr; ++arg) out->emplace_back(*arg);
                if (out->empty()) out->emplace_back(program);
                (*out)[0] = program;
              }
              if (args != nullptr) {
                for (char** arg = args; *arg != nullptr; ++arg) std::free(*arg);
                std::free(args);
              }
              if (r > 0) r = sd.message_skip(m, "bttttuii");
              if (r >= 0) r = sd.message_exit_container(m);
              if (r < 0) return r;
            }
            return r < 0 ? r : sd.message_exit_container(m);
          }};
}

// Reads the properties of one interface of a unit with one GetAll call,
// filling those wanted; a property whose value has another type is skipped.
// 0, or r < 0 for the call's failure (see Call::Translate).
int ReadProperties(Call& call, const std::string& path, const char* interface,
                   std::initializer_list<Wanted> wanted) {
  int r = call.Method(path.c_str(), kProperties, "GetAll", "s", interface);
  if (r < 0) return r;
  const SdBusLibrary& sd = call.sd();
  sd_bus_message* m = call.message();
  if ((r = sd.message_enter_container(m, 'a', "{sv}")) <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd.message_enter_container(m, 'e', "sv")) > 0) {
    const char* name = nullptr;
    if ((r = sd.message_read(m, "s", &name)) <= 0) return r < 0 ? r : -EBADMSG;
    const auto found = std::find_if(wanted.begin(), wanted.end(), [name](const Wanted& w) {
      return std::strcmp(w.name, name) == 0;
    });
    char type = 0;
    const char* contents = nullptr;
    if (found != wanted.end() && sd.message_peek_type(m, &type, &contents) > 0 &&
        std::strcmp(contents, found->signature) == 0) {
      r = sd.message_enter_container(m, 'v', contents);
      if (r > 0) r = found->read(m);
      if (r >= 0) r = sd.message_exit_container(m);
    } else {
      r = sd.message_skip(m, "v");
    }
    if (r < 0 || (r = sd.message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : 0;
}

DWORD ReadLoadedUnits(Call& call, std::vector<Unit>* units) {
  int r = call.ManagerMethod("ListUnits");
  if (r < 0) return call.Translate(r);
  const SdBusLibrary& sd = call.sd();
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

// The service unit files (id and path), aliases left out.
struct UnitFile {
  std::string id;
  std::string path;
};

DWORD ReadUnitFiles(Call& call, std::vector<UnitFile>* files) {
  int r = call.ManagerMethod("ListUnitFiles");
  if (r < 0) return call.Translate(r);
  const SdBusLibrary& sd = call.sd();
  sd_bus_message* m = call.message();
  if ((r = sd.message_enter_container(m, 'a', "(ss)")) < 0) return call.Translate(r);
  const char *path, *state;
  while ((r = sd.message_read(m, "(ss)", &path, &state)) > 0) {
    std::string id = BaseName(path);
    if (IsServiceId(id) && std::string_view(state) != "alias") {
      files->push_back({std::move(id), path});
    }
  }
  return r < 0 ? call.Translate(r) : 0;
}

// The object path of a unit, loading it when needed.
std::optional<std::string> LoadUnitPath(Call& call, std::string_view unit_id, DWORD* error) {
  const std::string id(unit_id);
  int r = call.ManagerMethod("LoadUnit", "s", id.c_str());
  const char* path = nullptr;
  if (r >= 0) r = call.sd().message_read(call.message(), "o", &path);
  if (r < 0) {
    *error = call.Translate(r);
    return std::nullopt;
  }
  return std::string(path);
}

// The unit that has exactly this name (its id or an alias of it), when
// systemd knows one; nothing otherwise.
std::optional<Unit> UnitNamed(Call& call, const std::string& name) {
  DWORD ignored = 0;
  auto path = LoadUnitPath(call, name, &ignored);
  if (!path) return std::nullopt;
  Unit unit;
  std::string load_state;
  if (ReadProperties(call, *path, kUnitInterface,
                     {StringProperty("Id", &unit.id), StringProperty("LoadState", &load_state),
                      StringProperty("Description", &unit.description),
                      StringProperty("ActiveState", &unit.active_state)}) < 0 ||
      load_state == "not-found" || !IsServiceId(unit.id)) {
    return std::nullopt;
  }
  if (unit.description.empty()) unit.description = unit.id;
  unit.object_path = *path;
  return unit;
}

// The names a service name may be a unit id in, most literal first.
std::vector<std::string> IdForms(std::string_view name) {
  std::vector<std::string> forms;
  if (IsServiceId(name)) forms.emplace_back(name);
  forms.push_back(std::string(name) + std::string(kSuffix));
  const std::string derived = UnitNameFor(name);
  if (std::find(forms.begin(), forms.end(), derived) == forms.end()) forms.push_back(derived);
  return forms;
}

// One manager method whose reply is not needed; 0 or the Win32 error.
template <typename... Args>
DWORD CallManager(const char* method, const char* signature, Args... args) {
  Call call;
  DWORD error = 0;
  if (!call.Open(&error)) return error;
  const int r = call.ManagerMethod(method, signature, args...);
  return r < 0 ? call.Translate(r) : 0;
}

}  // namespace

std::optional<std::vector<Unit>> ListServiceUnits(DWORD* error) {
  Call call;
  if (!call.Open(error)) return std::nullopt;
  std::vector<Unit> units;
  std::vector<UnitFile> files;
  if ((*error = ReadLoadedUnits(call, &units)) != 0) return std::nullopt;
  // Unit files are listed where the manager can; a loaded list alone is still
  // an answer.
  if (ReadUnitFiles(call, &files) == 0) {
    std::set<std::string> loaded;
    for (const Unit& unit : units) loaded.insert(unit.id);
    for (const UnitFile& file : files) {
      if (!loaded.insert(file.id).second) continue;
      std::optional<std::string> description;
      if (auto text = scm::ReadTextFile(file.path)) description = UnitFileDescription(*text);
      units.push_back({file.id, description.value_or(file.id), "inactive", ""});
    }
  }
  std::sort(units.begin(), units.end(),
            [](const Unit& a, const Unit& b) { return scm::NameLess(a.id, b.id); });
  return units;
}

std::optional<Unit> FindServiceUnit(std::string_view name, DWORD* error) {
  // The usual case, a unit id in one of its forms, costs a few calls; only
  // other letter cases and display names need the whole list.
  {
    Call call;
    if (!call.Open(error)) return std::nullopt;
    for (const std::string& id : IdForms(name)) {
      if (auto unit = UnitNamed(call, id)) return unit;
    }
  }
  auto units = ListServiceUnits(error);
  if (!units) return std::nullopt;
  const std::vector<std::string> forms = IdForms(name);
  const Unit* found = nullptr;
  for (const Unit& unit : *units) {
    if (std::any_of(forms.begin(), forms.end(),
                    [&](const std::string& id) { return scm::NamesEqual(unit.id, id); })) {
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
    Call call;
    if (!call.Open(error)) return std::nullopt;
    auto path = LoadUnitPath(call, unit.id, error);
    if (!path) return std::nullopt;
    unit.object_path = *path;
  }
  return unit;
}

std::optional<UnitDetails> LoadUnitDetails(std::string_view unit_id, DWORD* error) {
  Call call;
  if (!call.Open(error)) return std::nullopt;
  auto path = LoadUnitPath(call, unit_id, error);
  if (!path) return std::nullopt;
  UnitDetails details;
  std::string load_state;
  uint32_t main_pid = 0;
  int r = ReadProperties(call, *path, kUnitInterface,
                         {StringProperty("ActiveState", &details.active_state),
                          StringProperty("LoadState", &load_state),
                          StringProperty("Description", &details.description),
                          StringProperty("UnitFileState", &details.unit_file_state),
                          StringProperty("FragmentPath", &details.fragment_path)});
  if (r >= 0) {
    r = ReadProperties(call, *path, kServiceInterface,
                       {StringProperty("User", &details.user),
                        ExecStartProperty(&details.exec_start),
                        {"MainPID", "u", [&main_pid](sd_bus_message* m) {
                           return SdBus()->message_read(m, "u", &main_pid);
                         }}});
  }
  if (r < 0) {
    *error = call.Translate(r);
    return std::nullopt;
  }
  if (details.active_state.empty() || load_state == "not-found") {
    *error = ERROR_SERVICE_DOES_NOT_EXIST;
    return std::nullopt;
  }
  details.main_pid = static_cast<pid_t>(main_pid);
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
