#pragma once
// The window that shows one task record: its fields, its file name and the
// output its program left.

#include <QDialog>
#include <string>

class QAction;
class QLineEdit;
class QMenu;
class QPlainTextEdit;

namespace client {

class TaskDetail : public QDialog {
  Q_OBJECT

 public:
  explicit TaskDetail(QWidget* parent = nullptr);

  // Reads the record at path (at most 2000 items, tags in the first 19) and
  // fills the boxes; a record that cannot be read leaves them empty.
  void ShowRecord(const std::string& path);
  // The record shown.
  const std::string& RecordPath() const { return path_; }

  QMenu* menufile;
  QAction* menuRefresh;
  QAction* menuclose;
  QLineEdit* taskfile;
  QLineEdit* taskname;
  QLineEdit* taskcmd;
  QLineEdit* execmode;
  QLineEdit* queueat;
  QLineEdit* username;
  QLineEdit* critica;
  QLineEdit* endat;
  QLineEdit* string;
  QLineEdit* status;
  QPlainTextEdit* output;

 public slots:
  void menuRefresh_Click();
  void menuclose_Click();

 private:
  std::string path_;
};

}  // namespace client
