#pragma once
// Shared pieces of the client's window tests: a temporary program folder with
// its configuration loaded, waiting on a condition while the event loop runs,
// and finding a window's controls by name.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

#include "common/AgentConfig.h"
#include "tests/support/TempFolder.h"

namespace clienttest {

// Runs the event loop until the condition holds or a generous deadline passes.
inline bool WaitFor(const std::function<bool()>& condition, int deadline_ms = 30000) {
  return QTest::qWaitFor(condition, deadline_ms);
}

// Configuration lines written with CR LF into the folder's TarvoAgent.cfg,
// then loaded as the client's configuration.
inline void Configure(const std::string& folder, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  testsupport::WriteAll(folder + "/TarvoAgent.cfg", text);
  common::LoadAgentConfig();
}

template <typename T>
T* Control(const QObject& window, const char* name) {
  T* control = window.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(control, nullptr) << name;
  return control;
}

// A temporary program folder that is the client's for the test.
class ClientTest : public testing::Test {
 protected:
  ClientTest() : home_env_("TARVO_HOME", home_.path()) {}
  void Configure(const std::vector<std::string>& lines) { clienttest::Configure(home_.path(), lines); }

  testsupport::TempFolder home_;
  testsupport::ScopedEnv home_env_;
};

}  // namespace clienttest
