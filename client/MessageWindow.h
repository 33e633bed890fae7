#pragma once
// The message window: the central server's events read from ServerEvents.txt,
// one row of six labels per event, sliding up from the screen's bottom-right
// corner; and the check that alerts on events it does not show yet.

#include <QWidget>

#include <vector>

#include "client/ServerEvents.h"

class QLabel;

namespace client {

class ClickLabel;
class Form1;
class StepQueue;

// The window's design, in twips.
inline constexpr int kMessageWindowWidth = 7200;
inline constexpr int kMessageWindowHeight = 3600;
inline constexpr int kFirstRowTop = 450;
inline constexpr int kRowHeight = 255;
inline constexpr int kRowGap = 15;
// Rows up to this number fit in the designed height.
inline constexpr int kRowsInDesign = 10;

class MessageWindow : public QWidget {
  Q_OBJECT

 public:
  // Loads the window: reads the event file and builds one row per event.
  explicit MessageWindow(Form1* form1);

  // Alerts (through the main window's tray icon) once for every event line of
  // the file that the window does not show as it is.
  void EventCompare();
  // Slides the window up into view and leaves it shown; slides it down and
  // hides it. Both run as timed steps after those already queued.
  void SlideInMessageWindow();
  void SlideOutMessageWindow();

  // Number of event rows (row 0 counts even when it shows only the design).
  int RowCount() const { return static_cast<int>(rows_.size()); }
  // The window's height in twips.
  double HeightTwips() const { return height_twips_; }

  // The window's icon, the tray icon's face after an alert.
  static QIcon Icon();

 public slots:
  void CloseLBL_Click();
  void OpenURL_Click(int index);
  void Descr_Click(int index);

 private:
  struct Row {
    QLabel* Tipo;
    QLabel* Maquina;
    QLabel* Cliente;
    QLabel* Data;
    ClickLabel* OpenURL;
    ClickLabel* Descr;
    std::string Description;  // the file's bytes, for the detail box
    ShownRow Shown;           // what the labels were given, as the file's bytes
  };

  void Form_Load();
  Row MakeRow(int index);
  void FillRow(Row& row, const EventLine& event);
  void PlaceRow(const Row& row, int index);
  std::vector<ShownRow> ShownRows() const;
  // Moves the window's top to a position in twips.
  void SetTopTwips(double top);

  Form1* form1_;
  StepQueue& waits_;
  std::vector<Row> rows_;
  double height_twips_ = kMessageWindowHeight;
};

}  // namespace client
