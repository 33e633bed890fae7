#include "client/TaskDetail.h"

#include <QAction>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>

#include "client/ClientWidgets.h"
#include "client/TaskRecords.h"
#include "common/ProgramFolder.h"
#include "common/TaskFile.h"

namespace client {
TaskDetail::TaskDetail(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Task Detail"));
  // Modal over the viewer without blocking the caller: the window thread keeps
  // serving the viewer's timers and tests.
  setWindowModality(Qt::ApplicationModal);

  auto* bar = new QMenuBar(this);
  menufile = Named<QMenu>("menufile", QStringLiteral("File"), bar);
  menuRefresh = Named<QAction>("menuRefresh", QStringLiteral("Refresh"), menufile);
  menuclose = Named<QAction>("menuclose", QStringLiteral("Close"), menufile);
  menufile->addAction(menuRefresh);
  menufile->addAction(menuclose);
  bar->addMenu(menufile);

  auto* grid = new QGridLayout(this);
  grid->setMenuBar(bar);
  struct Box {
    QLineEdit*& Control;
    const char* Name;
    const char* Caption;
  };
  const Box boxes[] = {
      {taskfile, "taskfile", "Task File:"},     {taskname, "taskname", "Task Name:"},
      {taskcmd, "taskcmd", "Task CMD:"},        {execmode, "execmode", "Exec Mode:"},
      {queueat, "queueat", "Queue At:"},        {username, "username", "Username:"},
      {critica, "critica", "Response must:"},   {endat, "endat", "End At::"},
      {string, "string", "String:"},            {status, "status", "Status:"},
  };
  int row = 0;
  for (const Box& box : boxes) {
    box.Control = Named<QLineEdit>(box.Name, this);
    grid->addWidget(new QLabel(QString::fromLatin1(box.Caption), this), row, 0);
    grid->addWidget(box.Control, row, 1);
    ++row;
  }
  output = Named<QPlainTextEdit>("output", this);
  QFont courier(QStringLiteral("Courier New"));
  courier.setStyleHint(QFont::Monospace);
  courier.setFixedPitch(true);
  output->setFont(courier);
  output->setLineWrapMode(QPlainTextEdit::NoWrap);
  grid->addWidget(new QLabel(QStringLiteral("Output:"), this), row, 0, Qt::AlignTop);
  grid->addWidget(output, row, 1);
  // The output box grows with the window; the other boxes keep their height.
  grid->setRowStretch(row, 1);
  resize(TwipsToPixels(9600), TwipsToPixels(7200));

  connect(menuRefresh, &QAction::triggered, this, &TaskDetail::menuRefresh_Click);
  connect(menuclose, &QAction::triggered, this, &TaskDetail::menuclose_Click);
}

void TaskDetail::ShowRecord(const std::string& path) {
  path_ = path;
  const std::string bytes =
      ReadTaskRecord(path, kDetailItems, common::kMaxTaskRecordBytes).value_or("");
  const TaskFields fields = ReadTaskFields(bytes, kDetailItems, kDetailTagItems);
  taskfile->setText(TextFromBytes(path.substr(path.rfind('/') + 1)));
  taskname->setText(TextFromBytes(fields.TaskName));
  taskcmd->setText(TextFromBytes(fields.TaskCmd));
  execmode->setText(TextFromBytes(ExecModeDetailText(fields.ExecMode)));
  queueat->setText(TextFromBytes(fields.QueueAt));
  username->setText(TextFromBytes(fields.RunAsUser));
  critica->setText(TextFromBytes(ResponseContentText(fields.ResponseContent)));
  endat->setText(TextFromBytes(fields.EndAt));
  string->setText(TextFromBytes(fields.ResponseString));
  status->setText(TextFromBytes(fields.Status));
  output->setPlainText(TextFromBytes(fields.Output));
}

void TaskDetail::menuRefresh_Click() {
  // A queued record the agent has swept to Tasks/Done since is read there.
  const size_t slash = path_.rfind('/');
  if (slash == std::string::npos) {
    ShowRecord(path_);
    return;
  }
  ShowRecord(
      TaskRecordPath(common::ProgramFolder(), path_.substr(0, slash), path_.substr(slash + 1)));
}

void TaskDetail::menuclose_Click() {
  hide();
}

}  // namespace client
