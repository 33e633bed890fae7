#include "agent/PipedShell.h"

#include <string>

#include "common/AgentConfig.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/ChildProcess.h"
#include "platform/SystemInfo.h"

namespace agent {
namespace {

constexpr std::string_view kRunPipedLabel = " RunPiped Func ";

int& ProgramTurns() {
  static int turns = 0;
  return turns;
}

// Whether the upper-case line holds the upper-case filter: an empty filter
// matches every non-empty line, nothing matches an empty line.
bool LineHolds(std::string_view upper_line, std::string_view upper_filter) {
  if (upper_line.empty()) return false;
  return upper_line.find(upper_filter) != std::string_view::npos;
}

}  // namespace

ProgramTurn::ProgramTurn() {
  ++ProgramTurns();
}

ProgramTurn::~ProgramTurn() {
  --ProgramTurns();
}

bool ProgramTurnTaken() {
  return ProgramTurns() > 0;
}

std::string RunPiped(std::string_view command_line) {
  const ProgramTurn turn;
  platform::ChildRunLimits limits;
  const int32_t timeout_seconds = common::TheAgentConfig().ProcessTimeout;
  if (timeout_seconds > 0) limits.Timeout = std::chrono::seconds(timeout_seconds);
  limits.MaxOutputBytes = kMaxPipedOutputBytes;

  platform::ChildRunResult run = platform::RunCommandLine(command_line, limits);
  if (run.StartError == platform::ChildStartError::kPipeFailed) {
    common::WriteLog("CreatePipe failed. Error: " + std::to_string(run.Errno), 1);
    return {};
  }
  if (run.TimedOut) {
    common::LogFailure("Process killed after " + std::to_string(timeout_seconds) +
                           " s with its output still open: " + std::string(command_line),
                       kRunPipedLabel);
  }
  if (run.Truncated) {
    common::LogFailure("Output beyond " + std::to_string(kMaxPipedOutputBytes) +
                           " bytes dropped: " + std::string(command_line),
                       kRunPipedLabel);
  }
  return std::move(run.Output);
}

int32_t CountMatchingLines(std::string_view command_line, std::string_view filter1,
                           std::string_view filter2) {
  const std::string output = RunPiped(command_line);
  const std::string upper1 = common::ToUpper(filter1);
  const std::string upper2 = common::ToUpper(filter2);
  int32_t count = 1;
  // Only complete lines count: the text after the last line feed is left out.
  size_t start = 0;
  for (size_t end = output.find('\n'); end != std::string::npos;
       start = end + 1, end = output.find('\n', start)) {
    const std::string upper_line =
        common::ToUpper(std::string_view(output).substr(start, end - start));
    if (LineHolds(upper_line, upper1) && LineHolds(upper_line, upper2)) {
      platform::Beep();
      ++count;
    }
  }
  return count;
}

}  // namespace agent
