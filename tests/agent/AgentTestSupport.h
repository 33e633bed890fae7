#pragma once
// Helpers for the agent's tests: a program folder of their own with the
// configuration restored afterwards, the log, and a look at child processes.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/AgentConfig.h"
#include "tests/support/TempFolder.h"

#include "tests/support/Processes.h"

namespace agent {

// Gives each test a fresh program folder (TARVO_HOME) and a log threshold of 2,
// and restores the configuration record afterwards.
class AgentHomeTest : public ::testing::Test {
 protected:
  AgentHomeTest();
  ~AgentHomeTest() override;

  std::string Log() const;

  testsupport::TempFolder home_;
  testsupport::ScopedEnv env_{"TARVO_HOME", home_.path()};
  common::AgentConfig saved_config_;
};

// Lines of the text that contain the part.
int CountLines(std::string_view text, std::string_view part);

using testsupport::ChildrenOfThisProcess;

}  // namespace agent
