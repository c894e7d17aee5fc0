#include "FileDialogs.h"

#include <QApplication>
#include <QFileDialog>

namespace {

class TToolkitDialogs : public TFileDialogs {
 public:
  QString SaveFileName(const TFileDialogOptions& o) override {
    return Run(o, QFileDialog::AcceptSave, QFileDialog::AnyFile);
  }
  QString OpenFileName(const TFileDialogOptions& o) override {
    return Run(o, QFileDialog::AcceptOpen, QFileDialog::ExistingFile);
  }

 private:
  static QString Run(const TFileDialogOptions& o, QFileDialog::AcceptMode accept,
                     QFileDialog::FileMode mode) {
    QFileDialog dialog(QApplication::activeWindow(), o.Title);
    dialog.setAcceptMode(accept);
    dialog.setFileMode(mode);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters(NameFilters(o.Filter));
    dialog.setDefaultSuffix(o.DefaultExt);
    if (!o.FileName.isEmpty()) dialog.selectFile(o.FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
  }
};

TToolkitDialogs toolkit;
TFileDialogs* installed = nullptr;

}  // namespace

QString TFileDialogs::ExistingFolder(const TFileDialogOptions& o) {
  return QFileDialog::getExistingDirectory(QApplication::activeWindow(), o.Title, o.FileName);
}

TFileDialogs& FileDialogs() { return installed ? *installed : toolkit; }

TFileDialogs* SetFileDialogs(TFileDialogs* dialogs) {
  TFileDialogs* previous = installed;
  installed = dialogs;
  return previous;
}

QStringList NameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString text = parts[i];
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1String("*.*"), QLatin1String("*"))
        .replace(QLatin1Char(';'), QLatin1Char(' '));
    // Qt reads the patterns from the parentheses of the text.
    const qsizetype open = text.lastIndexOf(QLatin1Char('('));
    if (open >= 0) text.truncate(open);
    filters << text.trimmed() + QLatin1String(" (") + patterns + QLatin1Char(')');
  }
  return filters;
}
