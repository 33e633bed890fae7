#pragma once
// Small helpers of the client's tool windows: controls named as the design
// names them, twips, and the message box that tests can answer.

#include <QString>
#include <QWidget>
#include <functional>

namespace client {

// Creates a child of type T with objectName name (the design's control name).
template <typename T, typename... Args>
T* Named(QWidget* parent, const char* name, Args&&... args) {
  T* control = new T(std::forward<Args>(args)..., parent);
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

// Pixels of a length in twips on the widget's screen: 15 twips to a pixel at
// 96 dots per inch, scaled by the screen's logical DPI.
int Twips(const QWidget* widget, int twips);

// Shows a message box with the application's title. While a hook is set, the
// hook receives the text instead (tests answer message boxes this way).
void ShowMessage(QWidget* parent, const QString& text);
void SetMessageHook(std::function<void(const QString&)> hook);

}  // namespace client
