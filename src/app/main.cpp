#include <QApplication>

#include "AboutBox.h"
#include "AppMessages.h"
#include "MainForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Brackwell Systems");
  QApplication::setApplicationName("Quorvane");
  QApplication::setWindowIcon(ProgramIcon());
  TAppMessages messages(TMainForm::Caption());
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
