// Replays the fuzz corpus of the response-file reader through the fuzz target's checks, and
// each file through "Load left ..." itself.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QWidget>

#include "Messages.h"
#include "ResponseFileChecks.h"

TEST(ResponseCorpus, EveryFileKeepsTheReaderProperties) {
  const QDir corpus(QStringLiteral(QV_FUZZ_CORPUS "/response_file"));
  const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
  ASSERT_GE(names.size(), 6);
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);
  const QLocale locale;
  QLocale::setDefault(QLocale::c());
  QWidget parent;
  auto* plot = new TResponsePlot(&parent);
  plot->SetBounds(24, 32, 443, 258);
  for (const QString& name : names) {
    QFile file(corpus.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    const QByteArray bytes = file.readAll();
    EXPECT_EQ(response_checks::Check(bytes), "") << name.toStdString();
    const response_checks::TRead read = response_checks::Read(bytes, u'.');
    const std::size_t points = read.points.size();
    recorder.messages.clear();
    plot->LoadLeftReference(file.fileName());
    // A file without a single point is refused with a message, not taken as a flat reference.
    EXPECT_EQ(plot->ReferenceLoaded(), points > 0) << name.toStdString();
    EXPECT_EQ(plot->ReferencePointCount(), static_cast<int>(points)) << name.toStdString();
    EXPECT_EQ(recorder.messages.size(), (read.filledUp ? 1u : 0u) + (points == 0 ? 1u : 0u))
        << name.toStdString();
  }
  QLocale::setDefault(locale);
  SetMessages(previous);
}
