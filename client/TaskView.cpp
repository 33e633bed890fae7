#include "client/TaskView.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QTreeWidget>

#include "client/TaskDetail.h"
#include "client/TaskRecords.h"
#include "client/ClientWidgets.h"
#include "common/ProgramFolder.h"
#include "common/TaskFile.h"

namespace client {
namespace {

constexpr int kColumnWidthTwips = 2540;
// The list's folder is kept on its first column.
constexpr int kFolderRole = Qt::UserRole + 1;

}  // namespace

TaskView::TaskView(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("Tasks Viewer"));
  menufile = Named<QMenu>("menufile", QStringLiteral("File"), menuBar());
  menurefresh = Named<QAction>("menurefresh", QStringLiteral("Refresh"), menufile);
  menuclose = Named<QAction>("menuclose", QStringLiteral("Close"), menufile);
  menufile->addAction(menurefresh);
  menufile->addAction(menuclose);
  menuBar()->addMenu(menufile);

  auto* area = new QWidget(this);
  setCentralWidget(area);
  ListView1 = Named<QTreeWidget>("ListView1", area);
  ListView1->setRootIsDecorated(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setAllColumnsShowFocus(true);
  ListView1->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("Status"),
                              QStringLiteral("Task Name"), QStringLiteral("Task CMD"),
                              QStringLiteral("Queue At"), QStringLiteral("End At"),
                              QStringLiteral("Exec Mode"), QString(), QString()});
  for (int column = 0; column < ListView1->columnCount(); ++column) {
    ListView1->setColumnWidth(column, TwipsToPixels(kColumnWidthTwips));
  }
  // The list sorts itself on header clicks (ListView1_ColumnClick); Qt's own
  // sorting stays off, so the headers are made clickable here and kept so.
  ListView1->header()->setSectionsClickable(true);
  ListView1->header()->setSortIndicatorShown(true);
  ListView1->move(TwipsToPixels(120), TwipsToPixels(120));
  resize(TwipsToPixels(12000), TwipsToPixels(6000));

  detail_ = new TaskDetail(this);

  connect(menurefresh, &QAction::triggered, this, &TaskView::menurefresh_Click);
  connect(menuclose, &QAction::triggered, this, &TaskView::menuclose_Click);
  connect(ListView1->header(), &QHeaderView::sectionClicked, this,
          &TaskView::ListView1_ColumnClick);
  connect(ListView1, &QTreeWidget::itemClicked, this, &TaskView::ListView1_ItemClick);

  Load_tasks();
}

void TaskView::Load_tasks() {
  // Qt's setSortingEnabled(false) would also make the headers unclickable;
  // rows added to a list that is not sorting stay in their order until Sort.
  ListView1->clear();
  const std::string program_folder = common::ProgramFolder();
  QList<QTreeWidgetItem*> items;
  for (const TaskRow& row : LoadTaskRows(program_folder)) {
    auto* item = new QTreeWidgetItem(QStringList{
        TextFromBytes(row.FileName), TextFromBytes(row.Status), TextFromBytes(row.TaskName),
        TextFromBytes(row.TaskCmd), TextFromBytes(row.QueueAt), TextFromBytes(row.EndAt),
        TextFromBytes(row.ExecMode), QString(), QString()});
    item->setData(0, kFolderRole, TextFromBytes(row.Folder));
    items.append(item);
  }
  ListView1->addTopLevelItems(items);
  Sort();
}

void TaskView::Sort() {
  const Qt::SortOrder order = descending_ ? Qt::DescendingOrder : Qt::AscendingOrder;
  ListView1->sortItems(sort_column_, order);
  ListView1->header()->setSortIndicator(sort_column_, order);
}

void TaskView::ListView1_ColumnClick(int column) {
  if (column == sort_column_) descending_ = !descending_;
  sort_column_ = column;
  Sort();
}

void TaskView::ListView1_ItemClick(QTreeWidgetItem* item) {
  if (item == nullptr || item != ListView1->currentItem()) return;
  TaskDetailRefresh(item->text(0), item->data(0, kFolderRole).toString());
}

void TaskView::TaskDetailRefresh(const QString& file_name, const QString& folder) {
  const std::string program_folder = common::ProgramFolder();
  std::string listed = BytesFromText(folder);
  if (listed.empty()) {
    const bool queued = file_name.contains(QStringLiteral(".buf"), Qt::CaseInsensitive);
    listed = program_folder + "/" +
             std::string(queued ? common::kQueueFolder : common::kDoneFolder);
  }
  detail_->ShowRecord(TaskRecordPath(program_folder, listed, BytesFromText(file_name)));
  detail_->show();
  detail_->raise();
}

void TaskView::menurefresh_Click() {
  Load_tasks();
}

void TaskView::menuclose_Click() {
  hide();
}

void TaskView::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  ListView1->resize(std::max(0, event->size().width() - TwipsToPixels(240)),
                    std::max(0, event->size().height() - TwipsToPixels(840)));
}

}  // namespace client
