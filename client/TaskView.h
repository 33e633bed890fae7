#pragma once
// The task viewer: every task record of Tasks/Done and Tasks/Queue in one
// sortable list; a click on a row opens its detail.

#include <QMainWindow>
#include <QString>

class QAction;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

namespace client {

class TaskDetail;

class TaskView : public QMainWindow {
  Q_OBJECT

 public:
  explicit TaskView(QWidget* parent = nullptr);

  // Fills the list from both folders (a snapshot of the moment).
  void Load_tasks();
  // Reads the record of that name and shows it in the detail window, modal.
  // folder: where the row was listed from; empty to choose by the name (".buf"
  // in the queue, else in the done folder).
  void TaskDetailRefresh(const QString& file_name, const QString& folder = {});

  TaskDetail* Detail() const { return detail_; }

  QMenu* menufile;
  QAction* menurefresh;
  QAction* menuclose;
  QTreeWidget* ListView1;

 public slots:
  void menurefresh_Click();
  void menuclose_Click();
  void ListView1_ColumnClick(int column);
  void ListView1_ItemClick(QTreeWidgetItem* item);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Sort();

  TaskDetail* detail_ = nullptr;
  int sort_column_ = 0;
  bool descending_ = false;
};

}  // namespace client
