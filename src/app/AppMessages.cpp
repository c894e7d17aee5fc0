#include "AppMessages.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {
QWidget* Parent() { return QApplication::activeWindow(); }

// Every box is also written to stderr, so that a run under a script or a bug report has what the
// user was told, even after the box has gone.
void Log(const char* kind, const QString& title, const QString& text) {
  QString line = text;
  line.replace(QLatin1Char('\n'), QLatin1String(" / "));
  fprintf(stderr, "%s: [%s] %s\n", kind, qPrintable(title), qPrintable(line));
  fflush(stderr);
}
}  // namespace

QString TAppMessages::BoxText(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

void TAppMessages::ShowMessage(const std::string& text) {
  Log("message", FTitle, BoxText(text));
  QMessageBox::information(Parent(), FTitle, BoxText(text));
}

void TAppMessages::ShowMessage(const std::string& text, const std::string& title) {
  Log("message", QString::fromStdString(title), BoxText(text));
  QMessageBox::information(Parent(), QString::fromStdString(title), BoxText(text));
}

bool TAppMessages::AskYesNo(const std::string& text, const std::string& title) {
  Log("question", QString::fromStdString(title), BoxText(text));
  return QMessageBox::question(Parent(), QString::fromStdString(title), BoxText(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TAppMessages::ShowException(const std::string& text) {
  Log("error", FTitle, BoxText(text));
  QMessageBox::critical(Parent(), FTitle, BoxText(text));
}
