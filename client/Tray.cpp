#include "client/Tray.h"

#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

namespace client {
namespace {

struct TrayState {
  QPointer<QSystemTrayIcon> icon;
  QIcon shown;
  bool hooked = false;
  QPointer<QWidget> hooked_window;
  int adds = 0;
  int face_changes = 0;
};

void SetFace(TrayState& state, const QIcon& icon, const QString& tip) {
  state.icon->setIcon(icon);
  state.icon->setToolTip(tip);
  state.shown = icon;
}

TrayState& State() {
  static TrayState state;
  return state;
}

// A left click on the icon opens the menu; right and double clicks do nothing
// more than the desktop does by itself.
void TrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (!State().hooked) return;
  if (reason == QSystemTrayIcon::Trigger) ShowTrayMenu();
}

}  // namespace

void TrayIconAdd(QWidget* window, const QIcon& icon, const QString& tip) {
  TrayState& state = State();
  if (state.icon == nullptr) {
    state.icon = new QSystemTrayIcon(window);
    state.icon->setObjectName(QStringLiteral("TrayIcon"));
    QObject::connect(state.icon, &QSystemTrayIcon::activated, state.icon, &TrayActivated);
  }
  SetFace(state, icon, tip);
  if (!state.icon->isVisible()) {
    ++state.adds;
    state.icon->show();
  }
}

void TrayIconRemove() {
  if (State().icon != nullptr) State().icon->hide();
}

void TrayIconModify(const QIcon& icon, const QString& tip) {
  TrayState& state = State();
  if (state.icon == nullptr) return;
  SetFace(state, icon, tip);
  ++state.face_changes;
}

int TrayIconAdds() {
  return State().adds;
}

int TrayIconFaceChanges() {
  return State().face_changes;
}

void HookWindow(QWidget* window) {
  TrayState& state = State();
  // A hook whose window is gone counts as removed.
  if (state.hooked && state.hooked_window != nullptr) return;
  state.hooked_window = window;
  state.hooked = true;
}

void UnhookWindow() { State().hooked = false; }

bool WindowHooked() { return State().hooked; }

void ShowTrayMenu() {
  QWidget* window = State().hooked_window;
  if (window == nullptr) return;
  window->activateWindow();
  if (auto* menu = window->findChild<QMenu*>(QStringLiteral("TrayMenu"))) {
    menu->popup(QCursor::pos());
  }
}

QSystemTrayIcon* TrayIcon() { return State().icon; }

QIcon TrayIconShown() { return State().shown; }

void HideTitleBar(QWidget* window) {
  // A second call finds the caption empty and the frame gone: the tag keeps
  // the caption it was given first, and the window is not re-created.
  if (!window->windowTitle().isEmpty()) window->setProperty("tag", window->windowTitle());
  window->setWindowTitle(QString());
  if (window->windowFlags().testFlag(Qt::FramelessWindowHint)) return;
  const QRect outer = window->frameGeometry();
  const bool visible = window->isVisible();
  // Changing the flags re-creates the native window and hides it.
  window->setWindowFlags((window->windowFlags() & ~(Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                                    Qt::WindowMinMaxButtonsHint)) |
                         Qt::FramelessWindowHint);
  if (visible) window->show();
  // Whatever frame the desktop still draws, the outer rectangle stays.
  const QRect frame = window->frameGeometry();
  const QRect inner = window->geometry();
  window->setGeometry(outer.marginsRemoved(QMargins(inner.left() - frame.left(), inner.top() - frame.top(),
                                                    frame.right() - inner.right(),
                                                    frame.bottom() - inner.bottom())));
  window->update();
}

}  // namespace client
