// WAV files from the window: "Save as ..." through SaveDialog1, "Load ..." and its lookup of
// "sine.wav", and the File menu's replay of any file.
#include <QAction>
#include <QCheckBox>
#include <QSpinBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>

#include <memory>
#include <string>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "Controls.h"
#include "DisplayResponse.h"
#include "MainForm.h"
#include "SweepGenerator.h"
#include "ToneGenerator.h"

namespace {

class WavFilesTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});
    ASSERT_TRUE(work.isValid() && saves.isValid());
    QDir::setCurrent(work.path());
    window = std::make_unique<TMainForm>();
    form = window.get();
    form->show();
    ASSERT_TRUE(PumpUntil([&] { return form->Shown(); }));
    form->Analyser()->SetOnData([this](wavehdr_tag&) { ++replayed; });
  }
  void TearDown() override {
    window.reset();
    QDir::setCurrent(home);
    AppTest::TearDown();
  }
  void Click(const char* name) { form->findChild<QPushButton*>(name)->click(); }

  QString home = QDir::currentPath();
  QTemporaryDir work, saves;          // the current folder, and where "Save as ..." writes
  std::unique_ptr<TMainForm> window;  // made once the settings and the card are set up
  TMainForm* form = nullptr;
  int replayed = 0;  // blocks, whichever display the analyser feeds
};

TEST_F(WavFilesTest, SaveAsWritesThreeToneBlocksAndAsksBeforeReplacing) {
  Click("ButtonSaveAs");  // cancelled
  ASSERT_EQ(dialogs.saves.size(), 1u);
  EXPECT_EQ(dialogs.saves[0].FileName, "Untitled.wav");
  EXPECT_EQ(dialogs.saves[0].DefaultExt, "wav");
  EXPECT_EQ(dialogs.saves[0].Filter, "Wave files (*.wav)|*.wav");
  EXPECT_TRUE(QDir(saves.path()).isEmpty());

  // Without an extension the name takes ".wav"; 44100 div 16384 + 1 = 3 blocks.
  dialogs.answer = saves.filePath("tone");
  Click("ButtonSaveAs");
  QFile file(saves.filePath("tone.wav"));
  EXPECT_EQ(file.size(), 196722);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("mine");
  file.close();
  for (const bool replace : {false, true}) {
    recorder.answer = replace;
    Click("ButtonSaveAs");
    ASSERT_EQ(recorder.questions.size(), replace ? 2u : 1u);
    EXPECT_EQ(recorder.questions.back(), "tone.wav already exists.\rDo you want to replace it?");
    EXPECT_EQ(recorder.questionTitles.back(), "Save as");
    EXPECT_EQ(file.size(), replace ? 196722 : 4);
  }

}

// On "Sweep": one fast sweep, or a slow run's lead-in, timing marker and the sounding steps of its first
// cycle, as the response plot's generator plays them; the same bytes as a generator set up by
// hand for that sweep. The plot's own generator is not touched: a running sweep keeps its place,
// and a second save writes the same file.
TEST_F(WavFilesTest, SaveAsOnTheSweepTabWritesOneFastSweepOrOneSlowCycle) {
  form->findChild<TTabControl*>("TabControlGenerator")->SetTabIndex(1);
  auto* slow = form->findChild<QCheckBox*>("CheckBoxSlowSpeed");
  form->findChild<QSpinBox*>("SpinEditSweepDuration")->setValue(2);
  struct TCase {
    bool slow;
    int blocks, frames;
  } const cases[] = {{false, 1, 57330}, {true, 11, 11025}};
  for (const TCase& c : cases) {
    slow->setChecked(c.slow);
    const QString name = saves.filePath(c.slow ? "slow.wav" : "fast.wav");
    dialogs.answer = name;
    TAudioSweepGenerator* playing = form->findChild<TResponsePlot*>("ResponsePlot1")->SweepGenerator();
    playing->SetSlowSweep(c.slow);
    std::vector<int16_t> block(2 * 11025);
    wavehdr_tag header{};
    header.lpData = reinterpret_cast<char*>(block.data());
    header.dwBufferLength = 4 * 11025;
    for (int k = 0; k < 3; ++k) playing->FillSweepBlock(&header);  // as if it played
    const int64_t place = playing->RunBlocks();
    Click("ButtonSaveAs");
    EXPECT_EQ(playing->RunBlocks(), place);
    dialogs.answer = saves.filePath(c.slow ? "slow-again.wav" : "fast-again.wav");
    Click("ButtonSaveAs");
    TAudioSweepGenerator expected;  // the MF range at -20 dB, log, declicked
    expected.SetLeftFrequency(300);
    expected.SetRightFrequency(300);
    expected.SetLeftMaxFrequency(3000);
    expected.SetRightMaxFrequency(3000);
    expected.SetLeftAmplitude(0.1f);
    expected.SetRightAmplitude(0.1f);
    expected.SetSlowSweepActiveSeconds(2);
    expected.SetSlowSweep(c.slow);
    const QString reference = saves.filePath("expected.wav");
    ASSERT_TRUE(expected.WriteWaveFile(reference, c.blocks));
    QFile written(name), wanted(reference);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly) && wanted.open(QIODevice::ReadOnly));
    const QByteArray bytes = written.readAll();
    EXPECT_EQ(bytes.size(), 4 * c.blocks * c.frames + 114) << c.slow;
    EXPECT_TRUE(bytes == wanted.readAll()) << c.slow;
    QFile again(dialogs.answer);
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_TRUE(again.readAll() == bytes) << c.slow;
  }
  EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(WavFilesTest, LoadProposesSineWavHereThenInTheLastSaveFolderAndTheStatusNamesTheFile) {
  auto* status = form->findChild<QLabel*>("LabelBackend");
  const QString live = status->text();
  // Proposed: a sine.wav here, else one in the last save folder, else a new one here.
  dialogs.answer = saves.filePath("sine.wav");
  Click("ButtonSaveAs");
  QByteArray wav;
  {
    QFile saved(dialogs.answer), copy(work.filePath("sine.wav"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly));
    wav = saved.readAll();
    copy.write(wav);
  }
  const int blocks = 3 * 16384 / form->Analyser()->BufferSamples();
  struct TCase {
    const char* remove;  // before the click
    QString proposed;
    bool cancel;
  } cases[] = {
      {nullptr, work.filePath("sine.wav"), true},
      {"here", saves.filePath("sine.wav"), false},
      {"there", work.filePath("sine.wav"), true},
  };
  for (const TCase& c : cases) {
    if (c.remove) {
      ASSERT_TRUE(QFile::remove((c.remove == std::string("here") ? work : saves).filePath("sine.wav")));
    }
    dialogs.opens.clear();
    dialogs.answer = c.cancel ? QString() : c.proposed;
    const int before = replayed;
    Click("ButtonLoadSpectrum");
    ASSERT_EQ(dialogs.opens.size(), 1u) << c.proposed.toStdString();
    EXPECT_EQ(dialogs.opens[0].Title, "Load");
    EXPECT_EQ(dialogs.opens[0].FileName, c.proposed);
    EXPECT_EQ(dialogs.opens[0].Filter, "Wave files (*.wav)|*.wav|All files (*.*)|*.*");
    EXPECT_EQ(replayed - before, c.cancel ? 0 : blocks);
    EXPECT_EQ(status->text(), c.cancel && !c.remove ? live : "Replayed: sine.wav");
  }
  EXPECT_EQ(status->toolTip().toStdString(),
            "The analyser shows the file \"" + QDir::toNativeSeparators(saves.filePath("sine.wav")).toStdString() +
                "\", not the input.");

  // Any name from the File menu's open dialog; a refused file leaves the status as it was.
  QAction* replay = form->findChild<QAction*>("ReplayWAVFile1");
  ASSERT_NE(replay, nullptr);
  const QString take = saves.filePath("take.dat");
  {
    QFile empty(take);
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
  }
  dialogs.answer = take;  // empty: no WAV file
  replay->trigger();
  EXPECT_EQ(status->text(), "Replayed: sine.wav");
  EXPECT_EQ(recorder.messages.size(), 1u) << recorder.Log();
  {
    QFile file(take);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(wav) == wav.size());
  }
  replay->trigger();
  EXPECT_EQ(status->text(), "Replayed: take.dat");
  EXPECT_EQ(replayed, 2 * blocks);

  // Live input again: the status names the sound again.
  form->findChild<QPushButton*>("ButtonStartAnalyser")->click();
  ASSERT_TRUE(PumpUntil([&] { return status->text() == live; }));
  form->findChild<QPushButton*>("ButtonStartAnalyser")->click();
}

}  // namespace
