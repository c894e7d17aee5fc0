// The one way components talk to the user: message boxes, yes/no questions and the
// display of exceptions raised inside device notifications. The app installs a
// QMessageBox-backed implementation; tests install a recorder. GUI thread only.
#pragma once

#include <exception>
#include <string>
#include <vector>

class TMessageInterface {
 public:
  virtual ~TMessageInterface() = default;
  // A plain message box with an OK button, under the application's title or its own.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void ShowMessage(const std::string& text, const std::string& title) = 0;
  // A question with Yes and No buttons under its own title; true for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& title) = 0;
  // The application's standard display of an exception that escaped a handler.
  virtual void ShowException(const std::string& text) = 0;
};

// The installed interface; never null (a fallback writes to stderr and answers No).
TMessageInterface& Messages();
// Installs an interface (not owned); nullptr restores the fallback. Returns the previous one.
TMessageInterface* SetMessages(TMessageInterface* messages);

void ShowMessage(const std::string& text);
void ShowMessage(const std::string& text, const std::string& title);
bool AskYesNo(const std::string& text, const std::string& title);
// Reports an exception caught at a notification boundary.
void ShowException(const std::exception& e);

// Records everything instead of showing it; answers questions with a preset reply.
class TMessageRecorder : public TMessageInterface {
 public:
  void ShowMessage(const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& title) override;
  bool AskYesNo(const std::string& text, const std::string& title) override;
  void ShowException(const std::string& text) override;

  std::string Log() const;  // every entry, one per line, with its kind
  std::vector<std::string> messages, questions, exceptions;
  std::vector<std::string> messageTitles;   // one per message, empty for the application's title
  std::vector<std::string> questionTitles;  // one per question, in the same order
  bool answer = false;
};
