#pragma once
// The configuration editor: the most used settings of TarvoAgent.cfg in one
// window, the machine's network interfaces to choose from, and the save that
// rewrites the file and the client's in-memory configuration.

#include <QMainWindow>

#include "client/ConfigSave.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace client {

class PerfmonLoadChoice;

class ConfigF : public QMainWindow {
  Q_OBJECT

 public:
  explicit ConfigF(QWidget* parent = nullptr);

  // Loads the interface lists and fills every field from the client's
  // configuration record.
  void Form_Load();
  // What the controls hold now.
  ConfigEdits Edits() const;
  // The chooser, once opened.
  PerfmonLoadChoice* Chooser() const { return chooser_; }

  QAction* ExitMenu;
  QLineEdit* Listen_c;
  QLineEdit* TarvoServer_c;
  QLineEdit* Port_c;
  QComboBox* Interface1_c;
  QComboBox* Interface2_c;
  QLineEdit* Command1_c;
  QLineEdit* Command2_c;
  QLineEdit* loglevel_c;
  QLineEdit* Performancemon1_c;
  QLineEdit* Performancemon2_c;
  QLineEdit* RemoteClients;
  QCheckBox* NetMon_c;
  QCheckBox* AllowRemoteExec_c;
  QCheckBox* RRDTOOLBOL_c;
  QPushButton* Command1;
  QPushButton* pf1;

 public slots:
  void Command1_Click();
  void pf1_Click();
  void ExitMenu_Click();

 private:
  PerfmonLoadChoice* chooser_ = nullptr;
};

}  // namespace client
