#include <QApplication>

#include "AppMessages.h"
#include "MainForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Brackwell Systems");
  QApplication::setApplicationName("Quorvane");
  QApplication::setApplicationDisplayName("Zelk");
  TAppMessages messages;
  SetMessages(&messages);
  int result;
  {
    TMainForm form;
    form.show();
    result = app.exec();
  }
  SetMessages(nullptr);
  return result;
}
