#include "tests/support/Processes.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TempFolder.h"

extern char** environ;

namespace testsupport {

namespace {

// The environment of this process with names in `unset` and in `extra_env`
// left out, then extra_env added.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& extra_env,
                                          const std::vector<std::string>& unset = {}) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (extra_env.count(name) != 0) continue;
    if (std::find(unset.begin(), unset.end(), name) != unset.end()) continue;
    env_text.push_back(entry);
  }
  for (const auto& [name, value] : extra_env) env_text.push_back(name + "=" + value);
  return env_text;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& extra_env) {
  ProgramResult result;
  std::vector<std::string> env_text = ChildEnvironment(extra_env);
  std::vector<char*> envp = Pointers(env_text);
  std::vector<std::string> arg_copy = args;
  std::vector<char*> argv = Pointers(arg_copy);

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    return result;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) result.output.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

pid_t StartProgram(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extra_env,
                   const std::vector<std::string>& unset_env) {
  std::vector<std::string> env_text = ChildEnvironment(extra_env, unset_env);
  std::vector<char*> envp = Pointers(env_text);
  std::vector<std::string> arg_copy = args;
  std::vector<char*> argv = Pointers(arg_copy);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : 0;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

void KillProcess(pid_t pid) {
  if (!ProcessAlive(pid)) return;
  kill(pid, SIGKILL);
  // Reap it when it is our child; otherwise wait for it to disappear.
  waitpid(pid, nullptr, WNOHANG);
  WaitUntil([pid] {
    waitpid(pid, nullptr, WNOHANG);
    return !ProcessAlive(pid);
  });
}

std::vector<int> ChildrenOfThisProcess() {
  std::vector<int> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid()) {
      children.push_back(pid);
    }
  }
  closedir(proc);
  return children;
}

int FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

ForkedChild::ForkedChild(const std::function<void()>& body) {
  pid_ = fork();
  if (pid_ == 0) {
    body();
    _exit(127);
  }
}

void ForkedChild::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace testsupport
