#pragma once
// Support of the tool windows' tests: a program folder with task records, and
// a sleeping child whose id names a queued record.

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace clienttest {

// A temporary program folder with Tasks/Queue and Tasks/Done, set as TARVO_HOME.
class ProgramFolder {
 public:
  ProgramFolder() : home_("TARVO_HOME", folder_.path()) {
    std::filesystem::create_directories(folder_.Path("Tasks/Queue"));
    std::filesystem::create_directories(folder_.Path("Tasks/Done"));
  }
  const std::string& Root() const { return folder_.path(); }
  std::string Path(const std::string& relative) const { return folder_.Path(relative); }

 private:
  testsupport::TempFolder folder_;
  testsupport::ScopedEnv home_;
};

// A record as the agent writes it, with CR LF lines.
inline std::string Record(const std::string& name, const std::string& cmd, const std::string& mode,
                          const std::string& status, const std::string& rule,
                          const std::string& output) {
  std::string text = "#FUNCTAG:OBJ:SCRIPTTASK\r\n#FUNCTAG:TASK_NAME:" + name +
                     "\r\n#FUNCTAG:TASK_CMD:" + cmd + "\r\n#FUNCTAG:EXEC_MODE:" + mode +
                     "\r\n#FUNCTAG:QUEUE_AT:20260101120000\r\n";
  if (status.empty()) return text;  // a record whose program still runs
  return text + "#FUNCTAG:END_AT:20260101120005\r\n#FUNCTAG:RUN_AS_USER:USER\r\n" +
         "#FUNCTAG:RUN_AS_PASS:\r\n#FUNCTAG:RESPONSE_CONTENT:" + rule +
         "\r\n#FUNCTAG:RESPONSE_STRING:OK\r\n#FUNCTAG:STATUS:" + status +
         "\r\n#FUNCTAG:OUTPUT\r\n" + output + "\r\n";
}

// A child that sleeps until Stop(), which kills and reaps it by its id.
class SleepingChild : public testsupport::ForkedChild {
 public:
  SleepingChild()
      : ForkedChild([] { execlp("sleep", "sleep", "600", static_cast<char*>(nullptr)); }) {}
};

}  // namespace clienttest
