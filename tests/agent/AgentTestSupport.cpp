#include "tests/agent/AgentTestSupport.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace agent {

AgentHomeTest::AgentHomeTest() : saved_config_(common::TheAgentConfig()) {
  common::TheAgentConfig().LogLevel = 2;
  common::TheAgentConfig().ListenAddress = "127.0.0.1";
}

AgentHomeTest::~AgentHomeTest() {
  common::TheAgentConfig() = saved_config_;
}

std::string AgentHomeTest::Log() const {
  return testsupport::ReadAll(home_.Path("TarvoAgent.log"));
}

int CountLines(std::string_view text, std::string_view part) {
  int count = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start).find(part) != std::string_view::npos) ++count;
    start = end + 1;
  }
  return count;
}

std::vector<int> ChildrenOfThisProcess() {
  std::vector<int> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string stat = testsupport::ReadAll("/proc/" + std::to_string(pid) + "/stat");
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

}  // namespace agent
