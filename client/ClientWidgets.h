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
#include <string_view>
#include <utility>

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

// Text of file or wire bytes: UTF-8 when they are valid UTF-8, otherwise one
// character per byte (Latin-1), as the ANSI files of older peers are written.
QString TextFromBytes(std::string_view bytes);

// Steps run one after another on the window thread, each followed by its
// pause. The pauses are timers, so the window stays responsive while a
// sequence (a slide, an alert, the exit) is under way; the order and the
// durations are those of a blocking sequence. Steps before the first pause
// run at once.
class StepQueue : public QObject {
 public:
  using QObject::QObject;
  void Append(std::function<void()> step, int pause_ms = 0);
  void Pause(int pause_ms) { Append({}, pause_ms); }
  // True when no step is waiting or running.
  bool Idle() const { return !running_ && steps_.empty(); }

 private:
  void RunSteps();
  std::deque<std::pair<std::function<void()>, int>> steps_;
  bool running_ = false;
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
