// Message boxes of the running program (the message interface backed by QMessageBox).
#pragma once

#include <QWidget>

#include "Messages.h"

class TAppMessages : public TMessageInterface {
 public:
  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text) override;
  void ShowException(const std::string& text) override;
};
