// Replays the fuzz corpus of the settings restore through the fuzz target's checks: each file
// is the store a fresh main window starts from.
#include <QDir>
#include <QFile>

#include "AppTestSupport.h"
#include "SettingsChecks.h"

TEST_F(AppTest, SettingsCorpusRestoresInRangeAndClosesCleanly) {
  const QDir corpus(QStringLiteral(QV_FUZZ_CORPUS "/settings"));
  const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
  ASSERT_GE(names.size(), 5);
  for (const QString& name : names) {
    QFile file(corpus.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    EXPECT_EQ(settings_checks::Check(file.readAll(), folder.path()), "") << name.toStdString();
  }
}
