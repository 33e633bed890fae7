#pragma once
// The client's notification-area icon, the switch that lets clicks on it
// reach the client, its pop-up menu, and the routine that takes a window's
// title bar away.

#include <QIcon>
#include <QString>

class QSystemTrayIcon;
class QWidget;

namespace client {

// Shows the icon with the tip; window receives the icon's clicks (its
// "TrayMenu" pops up on a left click while the window is hooked).
void TrayIconAdd(QWidget* window, const QIcon& icon, const QString& tip);
// Takes the icon out of the notification area; nothing when it is not there.
void TrayIconRemove();
// Gives the icon shown another face and tip in place: it keeps its slot in the
// notification area, and a menu open meanwhile stays open. Nothing before the
// first TrayIconAdd.
void TrayIconModify(const QIcon& icon, const QString& tip);
// How many times the icon was put into the notification area (added while not
// shown), and how many times its face was changed in place, since the program
// started.
int TrayIconAdds();
int TrayIconFaceChanges();

// Lets left clicks on the icon open the window's tray menu. Once only: a
// second call while hooked changes nothing, and so does UnhookWindow when not
// hooked.
void HookWindow(QWidget* window);
void UnhookWindow();
bool WindowHooked();

// Brings the hooked window forward and pops its "TrayMenu" up at the mouse.
void ShowTrayMenu();

// The icon object (null before the first TrayIconAdd) and the icon it was
// last given.
QSystemTrayIcon* TrayIcon();
QIcon TrayIconShown();

// Removes the window's title bar and frame while keeping its outer rectangle;
// the former caption is kept in the window's "tag" property.
void HideTitleBar(QWidget* window);

}  // namespace client
