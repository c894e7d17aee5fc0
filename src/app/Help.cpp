#include "Help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

#include "Messages.h"

namespace {
TUrlOpener& Opener() {
  static TUrlOpener opener;
  return opener;
}
}  // namespace

bool OpenUrl(const QUrl& url) {
  if (Opener()) return Opener()(url);
  return QDesktopServices::openUrl(url);
}

TUrlOpener SetUrlOpener(TUrlOpener opener) {
  TUrlOpener previous = std::move(Opener());
  Opener() = std::move(opener);
  return previous;
}

QUrl WebAddressUrl(const QString& address) {
  const QString trimmed = address.trimmed();
  if (trimmed.contains(QLatin1String("://"))) return QUrl(trimmed);
  return QUrl(QLatin1String("https://") + trimmed);
}

QString ManualPath() {
  const QString installed = QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral(QUORVANE_INSTALLED_DOCS "/manual.html"));
  for (const QString& path : {installed, QStringLiteral(QUORVANE_SOURCE_DOCS "/manual.html")})
    if (QFileInfo::exists(path)) return QFileInfo(path).canonicalFilePath();
  return {};
}

void ShowManual(const QString& anchor) {
  const QString path = ManualPath();
  if (path.isEmpty()) {
    ShowMessage("The user manual (manual.html) was not found beside the program.");
    return;
  }
  QUrl url = QUrl::fromLocalFile(path);
  url.setFragment(anchor);
  if (!OpenUrl(url))
    ShowMessage("No web browser could be started to show the user manual:\r" +
                path.toStdString());
}
