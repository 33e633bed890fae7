#include <QApplication>

#include "installer/frmServiceControl.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  installer::frmServiceControl form;
  if (!form.Form_Load()) return 0;
  form.show();
  return app.exec();
}
