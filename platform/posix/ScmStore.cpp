#include "platform/posix/ScmStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/linux/ProcessProbe.h"

namespace platform {

std::string ServiceManagerRoot() {
  const char* root = std::getenv("TARVO_SCM_ROOT");
  if (root == nullptr || *root == '\0') return "/var/lib/tarvo/scm";
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(root, ec);
  if (ec) return root;
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

namespace scm {

namespace {

constexpr DWORD kErrorProcessAborted = 1067;  // ERROR_PROCESS_ABORTED
constexpr size_t kMaxKeyLength = 200;

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Escape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    char next = value[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

// Calls visit(key, value) for each key=value line.
template <typename Visit>
void ForEachPair(std::string_view text, Visit visit) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    visit(line.substr(0, eq), Unescape(line.substr(eq + 1)));
  }
}

template <typename T>
bool ToNumber(std::string_view text, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string Pair(std::string_view key, std::string_view value) {
  std::string line(key);
  line += '=';
  line += Escape(value);
  line += '\n';
  return line;
}

std::string Pair(std::string_view key, uint64_t value) {
  return Pair(key, std::to_string(value));
}

std::string ConfigPath(const std::string& root, std::string_view name) {
  return ServicesFolder(root) + "/" + ServiceKey(name);
}

std::string StatusPath(const std::string& root, std::string_view name) {
  return StatusFolder(root, name) + "/status";
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool NameLess(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(Lower(a[i]));
    auto cb = static_cast<unsigned char>(Lower(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

std::string ServiceKey(std::string_view name) {
  static const char kHex[] = "0123456789abcdef";
  std::string key;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the lower-cased name
  for (char raw : name) {
    char c = Lower(raw);
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                 (c == '.' && !key.empty());  // no leading dot: no ".", ".." or hidden files
    if (plain) {
      key += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      key += '%';
      key += kHex[byte >> 4];
      key += kHex[byte & 15];
    }
  }
  if (key.size() > kMaxKeyLength) {
    key.resize(kMaxKeyLength - 17);
    key += '~';
    for (int shift = 60; shift >= 0; shift -= 4) key += kHex[(hash >> shift) & 15];
  }
  return key;
}

std::string FormatConfig(const ServiceConfig& config) {
  std::string text = Pair("name", config.name) + Pair("display", config.display_name) +
                     Pair("binary", config.binary_path) + Pair("type", config.type) +
                     Pair("start", config.start_type) + Pair("error", config.error_control) +
                     Pair("account", config.account) + Pair("description", config.description);
  if (config.home) text += Pair("home", *config.home);
  if (config.deleted) text += Pair("deleted", 1);
  return text;
}

std::optional<ServiceConfig> ParseConfig(std::string_view text) {
  ServiceConfig config;
  bool named = false;
  bool numbers_ok = true;
  ForEachPair(text, [&](std::string_view key, std::string value) {
    if (key == "name") {
      config.name = std::move(value);
      named = true;
    } else if (key == "display") {
      config.display_name = std::move(value);
    } else if (key == "binary") {
      config.binary_path = std::move(value);
    } else if (key == "account") {
      config.account = std::move(value);
    } else if (key == "description") {
      config.description = std::move(value);
    } else if (key == "home") {
      config.home = std::move(value);
    } else if (key == "deleted") {
      config.deleted = value == "1";
    } else if (key == "type") {
      numbers_ok &= ToNumber(value, config.type);
    } else if (key == "start") {
      numbers_ok &= ToNumber(value, config.start_type);
    } else if (key == "error") {
      numbers_ok &= ToNumber(value, config.error_control);
    }
  });
  if (!named || config.name.empty() || !numbers_ok) return std::nullopt;
  return config;
}

std::string FormatStatus(const StatusRecord& record) {
  const SERVICE_STATUS& s = record.status;
  return Pair("state", s.dwCurrentState) + Pair("accepted", s.dwControlsAccepted) +
         Pair("exit", s.dwWin32ExitCode) + Pair("specific", s.dwServiceSpecificExitCode) +
         Pair("checkpoint", s.dwCheckPoint) + Pair("waithint", s.dwWaitHint) +
         Pair("pid", static_cast<uint64_t>(record.pid)) + Pair("starttime", record.start_time) +
         Pair("args", record.args);
}

std::optional<StatusRecord> ParseStatus(std::string_view text) {
  StatusRecord record;
  bool ok = true;
  bool has_state = false;
  SERVICE_STATUS& s = record.status;
  ForEachPair(text, [&](std::string_view key, std::string value) {
    if (key == "state") {
      ok &= ToNumber(value, s.dwCurrentState);
      has_state = true;
    } else if (key == "accepted") {
      ok &= ToNumber(value, s.dwControlsAccepted);
    } else if (key == "exit") {
      ok &= ToNumber(value, s.dwWin32ExitCode);
    } else if (key == "specific") {
      ok &= ToNumber(value, s.dwServiceSpecificExitCode);
    } else if (key == "checkpoint") {
      ok &= ToNumber(value, s.dwCheckPoint);
    } else if (key == "waithint") {
      ok &= ToNumber(value, s.dwWaitHint);
    } else if (key == "pid") {
      ok &= ToNumber(value, record.pid);
    } else if (key == "starttime") {
      ok &= ToNumber(value, record.start_time);
    } else if (key == "args") {
      record.args = std::move(value);
    }
  });
  if (!ok || !has_state) return std::nullopt;
  return record;
}

std::string ServicesFolder(const std::string& root) {
  return root + "/services";
}

std::string StatusFolder(const std::string& root, std::string_view name) {
  return root + "/status/" + ServiceKey(name);
}

int EnsureFolder(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (int err = EnsureFolder(path.substr(0, slash))) return err;
  }
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  return 0;
}

std::optional<std::string> ReadTextFile(const std::string& path, int* err, size_t max_bytes) {
  std::string text;
  if (const int read_err = platform::ReadRegularFile(path, max_bytes, text)) {
    if (err) *err = read_err;
    return std::nullopt;
  }
  return text;
}

std::optional<ServiceConfig> LoadConfig(const std::string& root, std::string_view name, int* err) {
  int read_err = 0;
  auto text = ReadTextFile(ConfigPath(root, name), &read_err);
  std::optional<ServiceConfig> config;
  if (text) config = ParseConfig(*text);
  // A shortened key could in principle be shared; the record's own name decides.
  if (config && !NamesEqual(config->name, name)) config.reset();
  if (!config && err) *err = (read_err == 0 || read_err == ENOTDIR) ? ENOENT : read_err;
  return config;
}

std::vector<ServiceConfig> LoadAllConfigs(const std::string& root) {
  std::vector<ServiceConfig> configs;
  std::string folder = ServicesFolder(root);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return configs;
  while (dirent* entry = readdir(dir)) {
    std::string file = entry->d_name;
    // Keys never start with a dot: this skips ".", ".." and writes in progress.
    if (file.empty() || file[0] == '.') continue;
    auto text = ReadTextFile(folder + "/" + file);
    if (!text) continue;
    auto config = ParseConfig(*text);
    if (config && ServiceKey(config->name) == file) configs.push_back(std::move(*config));
  }
  closedir(dir);
  return configs;
}

int SaveConfig(const std::string& root, const ServiceConfig& config) {
  if (int err = EnsureFolder(ServicesFolder(root))) return err;
  return WriteFileAtomic(ConfigPath(root, config.name), FormatConfig(config), true);
}

int RemoveConfig(const std::string& root, std::string_view name) {
  if (unlink(ConfigPath(root, name).c_str()) != 0) return errno;
  return 0;
}

std::optional<StatusRecord> LoadStatus(const std::string& root, std::string_view name) {
  auto text = ReadTextFile(StatusPath(root, name));
  if (!text) return std::nullopt;
  return ParseStatus(*text);
}

int SaveStatus(const std::string& root, std::string_view name, const StatusRecord& record,
               uid_t owner, gid_t group) {
  std::string folder = StatusFolder(root, name);
  if (int err = EnsureFolder(folder)) return err;
  if (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) {
    if (chown(folder.c_str(), owner, group) != 0) return errno;
  }
  return WriteFileAtomic(StatusPath(root, name), FormatStatus(record), false);
}

void RemoveStatus(const std::string& root, std::string_view name) {
  std::string folder = StatusFolder(root, name);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

SERVICE_STATUS_PROCESS LiveStatus(const std::string& root, std::string_view name) {
  SERVICE_STATUS_PROCESS live{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0, 0, 0};
  auto record = LoadStatus(root, name);
  if (!record) return live;
  const SERVICE_STATUS& s = record->status;
  const bool alive = record->pid > 0 && ProcessIsAlive(record->pid, record->start_time);
  if (s.dwCurrentState == SERVICE_STOPPED) {
    live.dwWin32ExitCode = s.dwWin32ExitCode;
    live.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
    // Stopped means a new start can succeed: until the process that reported it
    // has ended it may still hold what a new one needs (its instance lock, its
    // port), so the stop is still pending.
    if (alive) {
      live.dwCurrentState = SERVICE_STOP_PENDING;
      live.dwProcessId = static_cast<DWORD>(record->pid);
    }
    return live;
  }
  if (!alive) {
    live.dwWin32ExitCode = kErrorProcessAborted;
    return live;
  }
  live.dwCurrentState = s.dwCurrentState;
  live.dwControlsAccepted = s.dwControlsAccepted;
  live.dwWin32ExitCode = s.dwWin32ExitCode;
  live.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
  live.dwCheckPoint = s.dwCheckPoint;
  live.dwWaitHint = s.dwWaitHint;
  live.dwProcessId = static_cast<DWORD>(record->pid);
  return live;
}

bool IsGone(const std::string& root, const ServiceConfig& config) {
  return config.deleted && LiveStatus(root, config.name).dwCurrentState == SERVICE_STOPPED;
}

void RemoveIfGone(const std::string& root, std::string_view name) {
  StoreLock lock;
  if (lock.Acquire(root, false, std::chrono::milliseconds(0)) != 0) return;
  auto config = LoadConfig(root, name);
  if (!config || !IsGone(root, *config)) return;
  RemoveConfig(root, config->name);
  RemoveStatus(root, config->name);
}

std::chrono::milliseconds& LockWaitTimeout() {
  static std::chrono::milliseconds timeout{5000};
  return timeout;
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the flock
}

DWORD StoreLock::Acquire(const std::string& root, bool create) {
  return Acquire(root, create, LockWaitTimeout());
}

DWORD StoreLock::Acquire(const std::string& root, bool create, std::chrono::milliseconds wait) {
  std::string path = root + "/lock";
  if (create) {
    if (int err = EnsureFolder(root)) return WinErrorFromErrno(err);
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } else {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 && errno == ENOENT) return 0;
  }
  if (fd_ < 0) return WinErrorFromErrno(errno);
  // flock has no time limit of its own: try, then pause a little longer each
  // time (up to 50 ms) until the deadline.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  int pause_ms = 1;
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return WinErrorFromErrno(errno);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      close(fd_);
      fd_ = -1;
      return ERROR_SERVICE_DATABASE_LOCKED;
    }
    poll(nullptr, 0, static_cast<int>(std::min<int64_t>(pause_ms, left.count())));
    pause_ms = std::min(pause_ms * 2, 50);
  }
  return 0;
}

}  // namespace scm
}  // namespace platform
