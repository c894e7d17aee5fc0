// The about box: program icon, product name, version, legal notice, comments (the release date)
// and the maker's web address, which opens in the default browser when clicked. Shown modally
// from the Help menu. GUI thread only.
#pragma once

#include <QDialog>
#include <QLabel>

class QMouseEvent;

// The comments entry as shown: "Release date: " in front when it begins with a digit.
QString CommentsLine(const QString& comments);
// "%d.%d.%d.%d" of the version resource.
QString VersionText();
QIcon ProgramIcon();

// A label that looks like a link and reports a left click.
class TUrlLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TUrlLabel(const QString& text, QWidget* parent = nullptr);
 signals:
  void Clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class TAboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutBox(QWidget* parent = nullptr);
  // Opens the web address label's text, with the web scheme added when it lacks one.
  void WebAddressClick();

 private:
  TUrlLabel* LabelWebAddress;
};
