// File dialogs of the window, behind one small interface: the app shows the toolkit's dialogs,
// tests install their own and never wait on a modal one. GUI thread only.
#pragma once

#include <QString>
#include <QStringList>

struct TFileDialogOptions {
  QString Title;       // empty: the toolkit's own
  QString FileName;    // proposed at opening
  QString DefaultExt;  // without the dot
  QString Filter;      // "Text|pattern|Text|pattern...", as the classic dialogs take it
};

class TFileDialogs {
 public:
  virtual ~TFileDialogs() = default;
  // The chosen file's full name, empty when cancelled. A save dialog does not ask about an
  // existing file (the caller does, through the message interface); an open dialog offers
  // only existing files.
  virtual QString SaveFileName(const TFileDialogOptions& options) = 0;
  virtual QString OpenFileName(const TFileDialogOptions& options) = 0;
  // An existing folder (Title and FileName, the folder proposed, are used), empty when cancelled.
  virtual QString ExistingFolder(const TFileDialogOptions& options);
};

// The installed dialogs; the toolkit's unless a test installed others.
TFileDialogs& FileDialogs();
// Installs dialogs (not owned); nullptr restores the toolkit's. Returns the previous ones.
TFileDialogs* SetFileDialogs(TFileDialogs* dialogs);

// "Wave files (*.wav)|*.wav|All files (*.*)|*.*" as name filters: "Wave files (*.wav)",
// "All files (*)" (a "*.*" would hide names without a dot).
QStringList NameFilters(const QString& filter);
