// StartServiceA: starts a service's program as a detached process.
//
// The program is started through an intermediate child that forks it and ends at
// once, so the service is never the caller's child (nor its zombie). The service
// process waits on a pipe until its status record (start pending, its process id
// and start time) is written, so its dispatcher always finds the record naming
// it. Exec failures come back over a close-on-exec pipe.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/linux/ProcessProbe.h"
#include "platform/posix/ScmHandles.h"
#include "platform/posix/ScmStore.h"

namespace platform {

namespace {

constexpr DWORD kErrorServiceLogonFailed = 1069;

// The user a service runs as, resolved before forking (getpwnam and
// getgrouplist are not safe between fork and exec). name and home are those of
// the user the service runs as, whether or not the start switches to it.
struct Account {
  bool switch_user = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::string name;
  std::string home;
};

// A local user's entry in the password database.
struct LocalUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
};

std::optional<LocalUser> FromEntry(int result, const passwd* found) {
  if (result != 0 || found == nullptr) return std::nullopt;
  return LocalUser{found->pw_uid, found->pw_gid, found->pw_name, found->pw_dir};
}

std::optional<LocalUser> LookUpUser(const std::string& name) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  const int result = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  return FromEntry(result, found);
}

std::optional<LocalUser> LookUpUser(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  const int result = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  return FromEntry(result, found);
}

// Resolves the configured account. Only root can start a service under another
// account; other callers start it as themselves. Nothing when the account does
// not exist here.
std::optional<Account> ResolveAccount(const std::string& configured) {
  Account account;
  if (geteuid() != 0) {
    if (const auto self = LookUpUser(geteuid())) {
      account.name = self->name;
      account.home = self->home;
    }
    return account;
  }
  const auto user = scm::UserOfAccount(configured);
  if (!user) return std::nullopt;
  const auto found = user->empty() ? LookUpUser(uid_t{0}) : LookUpUser(*user);
  if (!found) {
    if (!user->empty()) return std::nullopt;
    account.name = "root";  // a machine without a password entry for root
    account.home = "/root";
    return account;
  }
  account.name = found->name;
  account.home = found->home;
  if (user->empty()) return account;
  account.switch_user = true;
  account.uid = found->uid;
  account.gid = found->gid;
  int count = 32;
  account.groups.resize(count);
  while (getgrouplist(account.name.c_str(), account.gid, account.groups.data(), &count) < 0) {
    account.groups.resize(count);
  }
  account.groups.resize(count);
  return account;
}

// The search path services get, the one systemd gives its services.
constexpr const char* kServicePath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// A program named without a folder is looked up on the services' PATH.
std::string ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const std::string folders = kServicePath;
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return program;
}

// The machine's language setting (LANG of /etc/default/locale, or of
// /etc/locale.conf), which services get instead of their caller's.
std::optional<std::string> SystemLanguage() {
  for (const char* file : {"/etc/default/locale", "/etc/locale.conf"}) {
    auto text = scm::ReadTextFile(file);
    if (!text) continue;
    size_t start = 0;
    while (start < text->size()) {
      size_t end = text->find('\n', start);
      if (end == std::string::npos) end = text->size();
      std::string_view line(text->data() + start, end - start);
      start = end + 1;
      if (!line.starts_with("LANG=")) continue;
      line.remove_prefix(5);
      if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') &&
          line.back() == line.front()) {
        line = line.substr(1, line.size() - 2);
      }
      if (!line.empty()) return std::string(line);
    }
  }
  return std::nullopt;
}

// The environment of a service: nothing of the caller's (its display, its
// shell's settings), as a service manager starts services, but the search
// path, the machine's language, the account's home and names, the program
// folder the service was created with, and the service's identity.
std::vector<std::string> ServiceEnvironment(const std::string& root,
                                            const scm::ServiceConfig& config,
                                            const Account& account) {
  std::vector<std::string> env = {std::string("PATH=") + kServicePath};
  if (auto language = SystemLanguage()) env.push_back("LANG=" + *language);
  if (!account.home.empty()) env.push_back("HOME=" + account.home);
  if (!account.name.empty()) {
    env.push_back("USER=" + account.name);
    env.push_back("LOGNAME=" + account.name);
  }
  // A record from before the program folder was kept hands on the starter's.
  const char* starter_home = std::getenv("TARVO_HOME");
  const std::string home = config.home ? *config.home : starter_home ? starter_home : "";
  if (!home.empty()) env.push_back("TARVO_HOME=" + home);
  env.push_back("TARVO_SCM_ROOT=" + root);
  env.push_back("TARVO_SCM_SERVICE=" + config.name);
#ifdef TARVO_SANITIZER_BUILD
  // A checked build's services report to where the run collects reports.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
#endif
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Moves a descriptor above the standard streams (close-on-exec), so the
// service's dup2 onto 0..2 cannot overwrite it when the caller runs without
// standard streams.
int AboveStdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

bool ReadInt(int fd, int* value) {
  size_t done = 0;
  auto* bytes = reinterpret_cast<char*>(value);
  while (done < sizeof *value) {
    ssize_t n = read(fd, bytes + done, sizeof *value - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct LaunchFds {
  int null_fd = -1;
  int go_read = -1, go_write = -1;
  int report_read = -1, report_write = -1;
  ~LaunchFds() {
    for (int fd : {null_fd, go_read, go_write, report_read, report_write}) {
      if (fd >= 0) close(fd);
    }
  }
};

// The service process after fork: only async-signal-safe calls until exec.
[[noreturn]] void RunService(const LaunchFds& fds, const Account& account, const char* program,
                             char** argv, char** envp) {
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  char go = 0;
  ssize_t n;
  do {
    n = read(fds.go_read, &go, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) _exit(127);  // the starter gave up: no record names this process
  setsid();
  dup2(fds.null_fd, 0);
  dup2(fds.null_fd, 1);
  dup2(fds.null_fd, 2);
  if (fds.report_write != 3) dup2(fds.report_write, 3);
  fcntl(3, F_SETFD, FD_CLOEXEC);
  if (close_range(4, ~0U, 0) != 0) {
    for (int fd = 4; fd < 65536; ++fd) close(fd);
  }
  int err = 0;
  if (chdir("/") != 0) err = errno;
  if (err == 0 && account.switch_user &&
      (setgroups(account.groups.size(), account.groups.data()) != 0 || setgid(account.gid) != 0 ||
       setuid(account.uid) != 0)) {
    err = errno;
  }
  if (err == 0) {
    execve(program, argv, envp);
    err = errno;
  }
  ssize_t ignored = write(3, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// Starts the program and writes its status record. Returns 0 or an errno value
// (the record then says stopped).
int Launch(const std::string& root, const scm::ServiceConfig& config, const Account& account,
           const std::string& args) {
  std::vector<std::string> arguments = SplitCommandLine(config.binary_path);
  if (arguments.empty()) return ENOENT;
  std::string program = ResolveProgram(arguments[0]);
  std::vector<std::string> env = ServiceEnvironment(root, config, account);
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(env);

  LaunchFds fds;
  int go[2], report[2];
  fds.null_fd = AboveStdio(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (fds.null_fd < 0 || pipe2(go, O_CLOEXEC) != 0) return errno;
  fds.go_read = AboveStdio(go[0]);
  fds.go_write = AboveStdio(go[1]);
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  fds.report_read = AboveStdio(report[0]);
  fds.report_write = AboveStdio(report[1]);
  if (fds.go_read < 0 || fds.go_write < 0 || fds.report_read < 0 || fds.report_write < 0) {
    return EMFILE;
  }

  pid_t middle = fork();
  if (middle < 0) return errno;
  if (middle == 0) {
    pid_t service = fork();
    if (service == 0) RunService(fds, account, program.c_str(), argv.data(), envp.data());
    int message = service > 0 ? service : -errno;
    ssize_t ignored = write(fds.report_write, &message, sizeof message);
    (void)ignored;
    _exit(0);
  }
  close(fds.go_read);
  close(fds.report_write);
  fds.go_read = fds.report_write = -1;
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }

  int pid = 0;
  if (!ReadInt(fds.report_read, &pid)) return ECHILD;
  if (pid < 0) return -pid;
  auto stat = ReadProcessIdentity(pid);
  if (!stat) return ESRCH;

  scm::StatusRecord record;
  record.status.dwCurrentState = SERVICE_START_PENDING;
  record.pid = pid;
  record.start_time = stat->start_time;
  record.args = args;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  if (geteuid() == 0) {
    owner = account.uid;
    group = account.gid;
  }
  if (int err = scm::SaveStatus(root, config.name, record, owner, group)) {
    return err;  // closing go_write ends the waiting process
  }
  char go_byte = 'g';
  if (write(fds.go_write, &go_byte, 1) != 1) return errno;
  close(fds.go_write);
  fds.go_write = -1;

  int exec_error = 0;
  if (!ReadInt(fds.report_read, &exec_error)) return 0;  // closed by a successful exec
  record.status.dwCurrentState = SERVICE_STOPPED;
  record.status.dwWin32ExitCode = WinErrorFromErrno(exec_error);
  record.pid = 0;
  record.start_time = 0;
  scm::SaveStatus(root, config.name, record);
  return exec_error;
}

}  // namespace

namespace scm {

std::optional<std::string> UserOfAccount(std::string_view account) {
  if (account.empty() || NamesEqual(account, "LocalSystem")) return std::string();
  const size_t slash = account.rfind('\\');
  const std::string user(slash == std::string_view::npos ? account : account.substr(slash + 1));
  if (user.empty() || !LookUpUser(user)) return std::nullopt;
  return user;
}

std::string QuotedBinaryPath(std::string_view binary_path) {
  const std::string path(binary_path);
  struct stat info {};
  if (path.find(' ') == std::string::npos || path.front() == '"' ||
      stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return path;
  }
  return "\"" + path + "\"";
}

}  // namespace scm

namespace embedded {

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
  auto data = scm::CheckHandle(service, false, SERVICE_START);
  if (!data) return FALSE;
  std::vector<std::string> given;
  for (DWORD i = 0; argv != nullptr && i < argc; ++i) {
    if (argv[i] == nullptr) return scm::Fail(ERROR_INVALID_PARAMETER);
    given.push_back(argv[i]);
  }

  std::string root = ServiceManagerRoot();
  scm::StoreLock lock;
  if (DWORD error = lock.Acquire(root, true)) return scm::Fail(error);
  auto config = scm::RecordOfHandle(root, data->name);
  if (!config) return FALSE;
  if (config->deleted) return scm::Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (config->start_type == SERVICE_DISABLED) return scm::Fail(ERROR_SERVICE_DISABLED);
  if (scm::LiveStatus(root, config->name).dwCurrentState != SERVICE_STOPPED) {
    return scm::Fail(ERROR_SERVICE_ALREADY_RUNNING);
  }
  auto account = ResolveAccount(config->account);
  if (!account) return scm::Fail(kErrorServiceLogonFailed);
  if (int launch_err =
          Launch(root, *config, *account, given.empty() ? "" : JoinCommandLine(given))) {
    return scm::FailErrno(launch_err);
  }
  return TRUE;
}

}  // namespace embedded
}  // namespace platform
