#include "AppMessages.h"

#include <QApplication>
#include <QMessageBox>

namespace {
QWidget* Parent() { return QApplication::activeWindow(); }
QString Title() { return QApplication::applicationDisplayName(); }
}  // namespace

void TAppMessages::ShowMessage(const std::string& text) {
  QMessageBox::information(Parent(), Title(), QString::fromStdString(text));
}

bool TAppMessages::AskYesNo(const std::string& text) {
  return QMessageBox::question(Parent(), Title(), QString::fromStdString(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TAppMessages::ShowException(const std::string& text) {
  QMessageBox::critical(Parent(), Title(), QString::fromStdString(text));
}
