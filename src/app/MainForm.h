// The main window. For now: its caption, its fixed size and the sound backend in use.
#pragma once

#include <QMainWindow>

class QLabel;

class TMainForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);

  static QString Caption();

 private:
  QLabel* LabelBackend = nullptr;
};
