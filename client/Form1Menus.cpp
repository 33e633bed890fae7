#include "client/ConfigF.h"
#include "client/Form1.h"
#include "client/TaskView.h"

namespace client {
namespace {

// The window of type T opened from the main window: created on first use as a
// window of its own owned by the main window, then only shown again.
template <typename T>
void ShowToolWindow(Form1* owner) {
  T* window = owner->findChild<T*>(QString(), Qt::FindDirectChildrenOnly);
  if (window == nullptr) window = new T(owner);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace

void Form1::TaskMenu_Click() {
  ShowToolWindow<TaskView>(this);
}

void Form1::Config_Click() {
  ShowToolWindow<ConfigF>(this);
}

}  // namespace client
