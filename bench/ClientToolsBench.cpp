// The desktop client's tool windows: the task viewer's load of 1000 records,
// the counter chooser's first opening (the object scan) and later openings, and
// the configuration editor's save. Runs offscreen in a temporary program folder.

#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <string>

#include "BenchSupport.h"
#include "client/ConfigF.h"
#include "client/ConfigSave.h"
#include "client/PerfChoice.h"
#include "client/PerfmonLoadChoice.h"
#include "client/TaskView.h"
#include "common/AgentConfig.h"
#include "platform/FileAccess.h"

namespace {

void Print(const char* what, const bench::Figures& figures, const char* target) {
  std::printf("%-36s n=%-4zu min %8.2f  median %8.2f  p90 %8.2f  max %8.2f ms   (target %s)\n",
              what, figures.count, figures.min, figures.median, figures.p90, figures.max, target);
}

// 500 records in Tasks/Done and 500 in Tasks/Queue named after dead processes.
void WriteRecords(const std::string& home) {
  const std::string output(600, 'x');
  for (int k = 0; k < 1000; ++k) {
    const bool done = k % 2 == 0;
    const std::string name = std::to_string(900000000 + k) + "_TASK" + std::to_string(k) + ".BUF";
    const std::string path = home + (done ? "/Tasks/Done/" : "/Tasks/Queue/") + name;
    platform::WriteRegularFile(
        path, "#FUNCTAG:OBJ:SCRIPTTASK\r\n#FUNCTAG:TASK_NAME:TASK " + std::to_string(k) +
                  "\r\n#FUNCTAG:TASK_CMD:HELLO.SH RUN\r\n#FUNCTAG:EXEC_MODE:O\r\n"
                  "#FUNCTAG:QUEUE_AT:20260101120000\r\n#FUNCTAG:END_AT:20260101120001\r\n"
                  "#FUNCTAG:RUN_AS_USER:USER\r\n#FUNCTAG:RUN_AS_PASS:\r\n"
                  "#FUNCTAG:RESPONSE_CONTENT:1\r\n#FUNCTAG:RESPONSE_STRING:OK\r\n"
                  "#FUNCTAG:STATUS:OK\r\n#FUNCTAG:OUTPUT\r\n" + output + "\r\n",
        platform::WriteMode::kTruncate);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  char folder[] = "/tmp/tarvo-client-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string home = folder;
  setenv("TARVO_HOME", folder, 1);
  QApplication app(argc, argv);
  common::LoadAgentConfig();
  WriteRecords(home);

  client::TaskView view;
  bench::Series load;
  for (int k = 0; k < 20; ++k) load.Time([&] {
      view.Load_tasks();
      return true;
    });
  Print("task viewer load, 1000 records", load.Summary(), "< 300 ms");

  bench::Series scan;
  for (int k = 0; k < 5; ++k) scan.Time([] {
      client::EnumeratePerfObjects();
      return !client::PerfObjectList().empty();
    });
  Print("chooser first opening (object scan)", scan.Summary(), "< 1 s");

  client::ConfigF editor;
  bench::Series reopen;
  for (int k = 0; k < 50; ++k) reopen.Time([&] {
      client::PerfmonLoadChoice chooser(&editor);
      return !chooser.Loading();
    });
  Print("chooser later opening (cached list)", reopen.Summary(), "< 20 ms");

  bench::Series save;
  for (int k = 0; k < 200; ++k) save.Time([&] {
      editor.Command1_Click();
      return true;
    });
  Print("editor save", save.Summary(), "< 10 ms");

  std::filesystem::remove_all(home);
  return 0;
}
