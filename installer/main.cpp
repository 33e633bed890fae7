#include <QApplication>

#include "common/TarvoVersion.h"
#include "installer/frmServiceControl.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(installer::ApplicationTitle());
  QApplication::setApplicationVersion(common::kVersionText);
  installer::frmServiceControl form;
  if (!form.Form_Load()) return 0;
  form.show();
  return app.exec();
}
