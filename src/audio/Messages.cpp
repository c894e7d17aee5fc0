#include "Messages.h"

#include <cstdio>

namespace {

class TStderrMessages : public TMessageInterface {
 public:
  void ShowMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void ShowMessage(const std::string& text, const std::string& title) override {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  }
  bool AskYesNo(const std::string& text, const std::string& title) override {
    std::fprintf(stderr, "%s: %s [no]\n", title.c_str(), text.c_str());
    return false;
  }
  void ShowException(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

TStderrMessages fallback;
TMessageInterface* installed = nullptr;

}  // namespace

TMessageInterface& Messages() { return installed ? *installed : fallback; }

TMessageInterface* SetMessages(TMessageInterface* messages) {
  TMessageInterface* previous = installed;
  installed = messages;
  return previous;
}

void ShowMessage(const std::string& text) { Messages().ShowMessage(text); }
void ShowMessage(const std::string& text, const std::string& title) {
  Messages().ShowMessage(text, title);
}
bool AskYesNo(const std::string& text, const std::string& title) {
  return Messages().AskYesNo(text, title);
}
void ShowException(const std::exception& e) { Messages().ShowException(e.what()); }

void TMessageRecorder::ShowMessage(const std::string& text) { ShowMessage(text, ""); }
void TMessageRecorder::ShowMessage(const std::string& text, const std::string& title) {
  messages.push_back(text);
  messageTitles.push_back(title);
}
bool TMessageRecorder::AskYesNo(const std::string& text, const std::string& title) {
  questions.push_back(text);
  questionTitles.push_back(title);
  return answer;
}
void TMessageRecorder::ShowException(const std::string& text) { exceptions.push_back(text); }

std::string TMessageRecorder::Log() const {
  std::string log;
  for (size_t i = 0; i < messages.size(); ++i) {
    // A test may have cleared one list and not the other.
    const std::string title = i < messageTitles.size() ? messageTitles[i] : "";
    log += "message: " + (title.empty() ? "" : "[" + title + "] ") + messages[i] + "\n";
  }
  for (size_t i = 0; i < questions.size(); ++i)
    log += "question: [" + questionTitles[i] + "] " + questions[i] + "\n";
  for (const auto& e : exceptions) log += "exception: " + e + "\n";
  return log;
}
