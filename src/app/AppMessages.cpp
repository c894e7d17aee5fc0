#include "AppMessages.h"

#include <QApplication>
#include <QMessageBox>

namespace {
QWidget* Parent() { return QApplication::activeWindow(); }
}  // namespace

QString TAppMessages::BoxText(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

void TAppMessages::ShowMessage(const std::string& text) {
  QMessageBox::information(Parent(), FTitle, BoxText(text));
}

void TAppMessages::ShowMessage(const std::string& text, const std::string& title) {
  QMessageBox::information(Parent(), QString::fromStdString(title), BoxText(text));
}

bool TAppMessages::AskYesNo(const std::string& text, const std::string& title) {
  return QMessageBox::question(Parent(), QString::fromStdString(title), BoxText(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TAppMessages::ShowException(const std::string& text) {
  QMessageBox::critical(Parent(), FTitle, BoxText(text));
}
