#include "client/ToolWidgets.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

namespace client {
namespace {

std::function<void(const QString&)>& MessageHook() {
  static std::function<void(const QString&)> hook;
  return hook;
}

}  // namespace

int Twips(const QWidget* widget, int twips) {
  const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
  const double dpi = screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
  return static_cast<int>(twips / 15.0 * dpi / 96.0 + 0.5);
}

void ShowMessage(QWidget* parent, const QString& text) {
  if (MessageHook()) {
    MessageHook()(text);
    return;
  }
  QMessageBox::information(parent, QApplication::applicationDisplayName(), text);
}

void SetMessageHook(std::function<void(const QString&)> hook) {
  MessageHook() = std::move(hook);
}

}  // namespace client
