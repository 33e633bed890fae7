#pragma once
// The performance counter chooser: browse the machine's performance objects,
// their counters and instances, see a raw value, and send the choice into the
// configuration editor's counter fields.

#include <QMainWindow>
#include <memory>
#include <string>

class QAction;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace client {

class ConfigF;
class PerfObjectScan;

class PerfmonLoadChoice : public QMainWindow {
  Q_OBJECT

 public:
  // editor: the window the choice is sent to.
  explicit PerfmonLoadChoice(ConfigF* editor);
  ~PerfmonLoadChoice() override;

  // Shows the object list: from the cache, or after a scan that runs in short
  // steps on the window's thread while the object box reads the waiting text.
  void Form_Load();
  // Whether the object list is being scanned.
  bool Loading() const { return scan_ != nullptr; }

  QAction* ExitMenu;
  QComboBox* KeyPerfMon;
  QListWidget* CountersPerfMon;
  QListWidget* InstancePerfMon;
  QLineEdit* PfMonVal;
  QPushButton* SendPf1;
  QPushButton* SendPf2;

 public slots:
  void KeyPerfMon_Validate();
  void CountersPerfMon_Click();
  void InstancePerfMon_Click();
  void SendPf1_Click();
  void SendPf2_Click();
  void ExitMenu_Click();

 private:
  void ScanStep();
  void FillObjects();
  // object index | counter | instance key, from the current texts.
  QString Choice() const;

  ConfigF* editor_;
  std::unique_ptr<PerfObjectScan> scan_;
  std::string listed_index_;  // the object whose counters are listed
};

}  // namespace client
