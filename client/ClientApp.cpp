#include "client/ClientApp.h"

#include <QApplication>

#include "client/Form1.h"
#include "common/TarvoVersion.h"

namespace client {

int RunTarvoAgentCliente(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TarvoAgentCliente"));
  QApplication::setApplicationVersion(QString::fromLatin1(common::kVersionText));
  // The program lives in the tray: hiding its last window must not end it;
  // only the exit sequences do.
  QApplication::setQuitOnLastWindowClosed(false);
  Form1 form;
  form.Form_Load();
  return QApplication::exec();
}

}  // namespace client
