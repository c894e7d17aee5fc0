// Message boxes of the running program (the message interface backed by QMessageBox).
#pragma once

#include <QString>

#include "Messages.h"

class TAppMessages : public TMessageInterface {
 public:
  // title: the application title that message boxes carry; questions bring their own.
  explicit TAppMessages(QString title) : FTitle(std::move(title)) {}
  void ShowMessage(const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& title) override;
  bool AskYesNo(const std::string& text, const std::string& title) override;
  void ShowException(const std::string& text) override;

  // The texts keep the classic carriage returns; a message box breaks lines at newlines.
  static QString BoxText(const std::string& text);

 private:
  QString FTitle;
};
