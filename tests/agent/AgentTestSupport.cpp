#include "tests/agent/AgentTestSupport.h"

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


}  // namespace agent
