#include "common/WriteLog.h"

#include <string>
#include <utility>

#include "common/AgentConfig.h"
#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"

namespace common {
namespace {

// The secrets of the request being served; only the main thread logs.
std::vector<std::string>& LogSecrets() {
  static std::vector<std::string> secrets;
  return secrets;
}

}  // namespace

ScopedLogSecrets::ScopedLogSecrets(std::vector<std::string> secrets)
    : previous_(std::exchange(LogSecrets(), std::move(secrets))) {}

ScopedLogSecrets::~ScopedLogSecrets() {
  LogSecrets() = std::move(previous_);
}

void WriteLog(std::string_view text, int16_t level) {
  if (level > TheAgentConfig().LogLevel) return;
  // One open, one write and one close per entry, so the file is complete on
  // disk whatever happens to the process and several programs can share it.
  const std::string path = ProgramPath("TarvoAgent.log");
  std::string entry = LogSecrets().empty() ? std::string(text) : HideSecrets(text, LogSecrets());
  entry += "\r\n";
  platform::WriteRegularFile(path, entry, platform::WriteMode::kAppend, 0644);
}

void LogFailure(std::string_view description, std::string_view label) {
  std::string line(description);
  line += label;
  line += GeneralDateTextNow();
  WriteLog(line, 1);
}

}  // namespace common
