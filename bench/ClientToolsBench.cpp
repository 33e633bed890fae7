// The desktop client's tool windows: the task viewer's load of 1000 records,
// its Refresh over 1000 records of 16 MiB each (time and peak memory), the
// counter chooser's first opening (the object scan) and later openings, and
// the configuration editor's save. Runs offscreen in a temporary program folder.
//
// The 16 MiB records are written once as a real record the agent could leave
// (its output 16 MiB of lines) and listed 1000 times as hard links to it, so
// the folder takes 16 MiB of disk; then as 1000 sparse files whose output is
// one 16 MiB run without a line end (a hole), the worst case for the list.

#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <algorithm>
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
        path,
        "#FUNCTAG:OBJ:SCRIPTTASK\r\n#FUNCTAG:TASK_NAME:TASK " + std::to_string(k) +
            "\r\n#FUNCTAG:TASK_CMD:HELLO.SH RUN\r\n#FUNCTAG:EXEC_MODE:O\r\n"
            "#FUNCTAG:QUEUE_AT:20260101120000\r\n#FUNCTAG:END_AT:20260101120001\r\n"
            "#FUNCTAG:RUN_AS_USER:USER\r\n#FUNCTAG:RUN_AS_PASS:\r\n"
            "#FUNCTAG:RESPONSE_CONTENT:1\r\n#FUNCTAG:RESPONSE_STRING:OK\r\n"
            "#FUNCTAG:STATUS:OK\r\n#FUNCTAG:OUTPUT\r\n" +
            output + "\r\n",
        platform::WriteMode::kTruncate);
  }
}

// The record's lines up to its output, as the agent writes them.
std::string RecordHead(int k) {
  return "#FUNCTAG:OBJ:SCRIPTTASK\r\n#FUNCTAG:TASK_NAME:TASK " + std::to_string(k) +
         "\r\n#FUNCTAG:TASK_CMD:HELLO.SH RUN\r\n#FUNCTAG:EXEC_MODE:O\r\n"
         "#FUNCTAG:QUEUE_AT:20260101120000\r\n#FUNCTAG:END_AT:20260101120001\r\n"
         "#FUNCTAG:RUN_AS_USER:USER\r\n#FUNCTAG:RUN_AS_PASS:\r\n"
         "#FUNCTAG:RESPONSE_CONTENT:1\r\n#FUNCTAG:RESPONSE_STRING:OK\r\n"
         "#FUNCTAG:STATUS:OK\r\n#FUNCTAG:OUTPUT\r\n";
}

constexpr off_t kLargeRecordBytes = off_t{16} << 20;

// 1000 names in Tasks/Done for one real 16 MiB record of output lines.
void WriteLinkedLargeRecords(const std::string& home) {
  const std::string first = home + "/Tasks/Done/LARGE0000.BUF";
  std::string record = RecordHead(0);
  for (int line = 0; record.size() < static_cast<size_t>(kLargeRecordBytes); ++line) {
    record += "output line " + std::to_string(line) + " of a task that wrote a great deal\r\n";
  }
  record.resize(static_cast<size_t>(kLargeRecordBytes));
  platform::WriteRegularFile(first, record, platform::WriteMode::kTruncate);
  for (int k = 1; k < 1000; ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "/Tasks/Done/LARGE%04d.BUF", k);
    link(first.c_str(), (home + name).c_str());
  }
}

// 1000 sparse 16 MiB records whose output is one run of zero bytes.
void WriteSparseLargeRecords(const std::string& home) {
  for (int k = 0; k < 1000; ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "/Tasks/Done/SPARSE%04d.BUF", k);
    const std::string path = home + name;
    platform::WriteRegularFile(path, RecordHead(k), platform::WriteMode::kTruncate);
    truncate(path.c_str(), kLargeRecordBytes);
  }
}

void ClearFolder(const std::string& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::filesystem::remove(entry.path());
  }
}

// Times Refresh over the records and prints the peak resident memory it took.
void TimeRefresh(const char* what, int rounds, const char* target) {
  client::TaskView view;
  bench::Series refresh;
  long peak_kib = 0;
  for (int k = 0; k < rounds; ++k) {
    // Resets the peak resident size, so the figure is this Refresh's own.
    platform::WriteRegularFile("/proc/self/clear_refs", "5", platform::WriteMode::kAppend);
    refresh.Time([&] {
      view.menurefresh_Click();
      return true;
    });
    peak_kib = std::max(peak_kib, bench::ProcessStatusKiB(getpid(), "VmHWM").value_or(0));
  }
  Print(what, refresh.Summary(), target);
  std::printf("%-36s peak resident %.1f MB (whole process; target < 100 MB)\n", "",
              static_cast<double>(peak_kib) / 1024);
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

  const std::string done = home + "/Tasks/Done";
  const std::string queue = home + "/Tasks/Queue";
  ClearFolder(done);
  ClearFolder(queue);
  WriteLinkedLargeRecords(home);
  TimeRefresh("Refresh, 1000 records of 16 MiB (lines)", 10, "< 1 s");
  ClearFolder(done);
  WriteSparseLargeRecords(home);
  TimeRefresh("Refresh, 1000 x 16 MiB, one-line output", 3, "worst case");
  ClearFolder(done);

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

  // Each save changes the port, so each one writes the file.
  bench::Series save;
  QLineEdit* port = editor.findChild<QLineEdit*>(QStringLiteral("Port_c"));
  for (int k = 0; k < 200; ++k)
    save.Time([&] {
      port->setText(QString::number(9000 + k % 2));
      editor.Command1_Click();
      return true;
    });
  Print("editor save", save.Summary(), "< 10 ms");

  std::filesystem::remove_all(home);
  return 0;
}
