#pragma once
// Small pieces shared by the client's windows: named controls, twips, the
// message box and the beep that tests can watch, text from file bytes, the
// queue of timed steps, and a label that can be clicked.

#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

class QTimer;
class QWidget;

namespace client {

// Creates a control and gives it the name the windows' design uses, so the
// member and its objectName cannot drift apart.
template <typename T, typename... Args>
T* Named(const char* name, Args&&... args) {
  T* control = new T(std::forward<Args>(args)...);
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

// Twips per pixel of the primary screen (15 at 96 dots per inch) and the
// conversions, rounded to whole pixels.
double TwipsPerPixel();
int TwipsToPixels(double twips);
double PixelsToTwips(int pixels);

// The application's title, used by message boxes.
QString ApplicationTitle();

// A message box with an OK button and the application's title. A test can
// take the texts instead (nothing is shown while a sink is set).
void ShowMessage(QWidget* parent, const QString& text);
void SetMessageSink(std::function<void(const QString&)> sink);

// The system beep, counted so tests can see it.
void Beep();
int BeepCount();

// A 32 by 32 icon: a white mark on a rounded square or a disc.
QIcon MakeIcon(const QColor& background, const QString& mark, bool disc);

// The files and the wire hold single-byte text: every byte is one character
// (Latin-1) on its way into a widget, and every character one byte on its way
// back, so bytes that are not UTF-8 come back as they were. A character that
// has no byte becomes "?".
QString TextFromBytes(std::string_view bytes);
std::string BytesFromText(const QString& text);

// Steps run one after another on the window thread, each followed by its
// pause. The pauses are timers, so the window stays responsive while a
// sequence (a slide, an alert, the exit) is under way; the order and the
// durations are those of a blocking sequence. Steps before the first pause
// run at once.
class StepQueue : public QObject {
 public:
  explicit StepQueue(QObject* parent = nullptr);
  void Append(std::function<void()> step, int pause_ms = 0);
  void Pause(int pause_ms) { Append({}, pause_ms); }
  // Drops every step not run yet and the pause under way: the queue is idle.
  void Clear();
  // True when no step is waiting or running.
  bool Idle() const { return !running_ && steps_.empty(); }

 private:
  void RunSteps();
  std::deque<std::pair<std::function<void()>, int>> steps_;
  QTimer* pause_;
  bool running_ = false;
  unsigned clears_ = 0;
};

// A label that reports a left click.
class ClickLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

}  // namespace client
