// "Export picture ..." and "Export data ..." through the window: each page filled with known
// data (blocks fed to its display, or measured on the simulated card whose right input is a
// known filter), exported through a recording file dialog, the files read back.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "DisplayResponse.h"
#include "DisplaySpectrum.h"
#include "DistortionPage.h"
#include "Export.h"
#include "ImpulsePage.h"
#include "MainForm.h"
#include "SimulatedCard.h"

namespace {

class ExportTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});
  }
  static void Show(TMainForm& f, const char* page) {
    Find<QTabWidget>(f, "PageControlAnalyser")->setCurrentWidget(Find<QWidget>(f, page));
  }
  // Triggers the action with the dialog answering `name` in the temporary folder; the lines
  // of the file written (none when nothing was).
  QStringList Export(TMainForm& f, const char* action, const QString& name) {
    dialogs.answer = folder.filePath(name);
    Find<QAction>(f, action)->trigger();
    QFile file(dialogs.answer);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QString text = QString::fromLatin1(file.readAll());
    EXPECT_TRUE(text.endsWith("\r\n"));
    text.chop(2);
    return text.split("\r\n");
  }
};

// The cells of the first line whose first cell is `first`.
QStringList Row(const QStringList& lines, const QString& first) {
  for (const QString& line : lines)
    if (line.section(',', 0, 0) == first) return line.split(',');
  return {};
}

std::vector<int16_t> Ramp(int frames) {  // left i, right -2i
  std::vector<int16_t> block(2 * static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    block[2 * i] = static_cast<int16_t>(i % 10000);
    block[2 * i + 1] = static_cast<int16_t>(-2 * (i % 10000));
  }
  return block;
}

std::vector<int16_t> Sine(double cyclesPerFrame, double amplitude, int frames) {
  std::vector<int16_t> block(2 * static_cast<std::size_t>(frames));
  for (int j = 0; j < frames; ++j)
    block[2 * j] = block[2 * j + 1] = static_cast<int16_t>(
        std::lrint(amplitude * std::sin(2 * std::numbers::pi * cyclesPerFrame * j)));
  return block;
}

void Feed(TAudioDisplay* d, const std::vector<int16_t>& block) {
  bool go = true;
  d->ProcessSamples(block.data(), static_cast<int>(block.size() / 2), go);
}

struct TFedCase {
  const char* name;
  const char* page;
  std::function<void(TMainForm&)> fill;
  QString header;
  std::function<void(const QStringList& lines)> check;
};

TEST_F(ExportTest, EachPagesDataHasItsHeaderAndTheFedValues) {
  const TFedCase cases[] = {
      {"scope", "TabSheetScope",
       [](TMainForm& f) { Feed(Find<TWaveformDisplay>(f, "WaveformDisplay1"), Ramp(8820)); },
       "Time (ms),Left (LSB),Right (LSB)",
       [](const QStringList& lines) {
         EXPECT_EQ(lines.size(), 1 + 4410);  // 10 ms a division: 100 ms shown
         EXPECT_EQ(lines[1], "0,0,0");
         EXPECT_EQ(lines[1 + 441], "10,441,-882");
       }},
      {"vector scope", "TabSheetVectorscope",
       [](TMainForm& f) { Feed(Find<TVectorScope>(f, "VectorScope1"), Ramp(4410)); },
       "Time (ms),Left (LSB),Right (LSB),Right - left (LSB),Left + right (LSB)",
       [](const QStringList& lines) {
         EXPECT_DOUBLE_EQ(lines[1 + 10].section(',', 0, 0).toDouble(), 10 * 1000.0 / 44100);
         EXPECT_EQ(lines[1 + 10].section(',', 1), "10,-20,-30,-10");
       }},
      {"FFT spectrum", "TabSheetSpectrum",
       [](TMainForm& f) {
         auto* box = Find<QComboBox>(f, "ComboBoxSpectrumMode");
         box->setCurrentIndex(2);  // linear, 0 ... 22050 Hz
         emit box->activated(2);
         // Bin 93 at half scale: -6.02 dBFS under the Hann window.
         Feed(Find<TSpectrumDisplay>(f, "SpectrumDisplay1"), Sine(93.0 / 4096, 16384, 4096));
       },
       "Frequency (Hz),(Left + right) / 2 (dBFS)",
       [](const QStringList& lines) {
         ASSERT_EQ(lines.size(), 1 + 2049);
         EXPECT_EQ(lines[1 + 2048].section(',', 0, 0), "22050");
         const QStringList bin = lines[1 + 93].split(',');
         EXPECT_EQ(bin[0], "1001.2939453125");
         EXPECT_NEAR(bin[1].toDouble(), 20 * std::log10(0.5), 0.01);
         EXPECT_LT(lines[1 + 80].section(',', 1).toDouble(), -100);
       }},
      {"third-octave bands", "TabSheetSpectrum",
       [](TMainForm& f) {
         Feed(Find<TSpectrumDisplay>(f, "SpectrumDisplay1"), Sine(4000.0 / 44100, 16384, 4096));
       },
       "Band (nominal Hz),Centre frequency (Hz),(Left + right) / 2 (dBFS)",
       [](const QStringList& lines) {
         ASSERT_EQ(lines.size(), 1 + 28);
         EXPECT_EQ(lines[1].section(',', 0, 1), "31.5,31.25");
         EXPECT_EQ(lines[28].section(',', 0, 1), "16000,16000");
         EXPECT_EQ(lines[1 + 21].section(',', 0, 1), "4000,4000");
         for (int j = 0; j < 28; ++j)
           if (j != 21) EXPECT_LT(lines[1 + j].section(',', 2).toDouble(), lines[22].section(',', 2).toDouble() - 20) << j;
       }},
      {"spectrogram", "TabSheetSpectrum",
       [](TMainForm& f) {
         auto* box = Find<QComboBox>(f, "ComboBoxSpectrumMode");
         box->setCurrentIndex(6);  // linear spectrogram
         emit box->activated(6);
         auto* d = Find<TSpectrumDisplay>(f, "SpectrumDisplay1");
         for (int i = 0; i < 3; ++i) Feed(d, Sine(93.0 / 4096, 16384, 4096));
       },
       "Time (s),Frequency (Hz),(Left + right) / 2 (dBFS)",
       [](const QStringList& lines) {
         // Three blocks of one row per pixel row, lowest first.
         ASSERT_EQ((lines.size() - 1) % 3, 0);
         const int rows = static_cast<int>(lines.size() - 1) / 3;
         EXPECT_GT(rows, 200);
         EXPECT_EQ(lines[1 + 2 * rows].section(',', 0, 1), "0,0");  // the newest block
         EXPECT_NEAR(lines[rows].section(',', 1, 1).toDouble(), 10000, 1);  // 0 ... 10 kHz
         int loudest = 1 + 2 * rows;
         for (int i = 1 + 2 * rows; i < lines.size(); ++i)
           if (lines[i].section(',', 2).toDouble() > lines[loudest].section(',', 2).toDouble()) loudest = i;
         EXPECT_NEAR(lines[loudest].section(',', 1, 1).toDouble(), 1001.3, 10000.0 / rows);
       }},
      {"distortion", "TabSheetDistortion",
       [](TMainForm& f) {
         // Left: 1 kHz at -6.02 dBFS with 1 % of third harmonic; right silent.
         std::vector<float> frames(2 * 8192);
         auto* d = Find<TDistortionDisplay>(f, "DistortionDisplay1");
         for (int b = 0; b < 4; ++b) {
           for (int j = 0; j < 8192; ++j) {
             const double t = 2 * std::numbers::pi * 1000 * (b * 8192 + j) / 44100.0;
             frames[2 * j] = static_cast<float>(16383.5 * (std::sin(t) + 0.01 * std::sin(3 * t)));
             frames[2 * j + 1] = 0;
           }
           d->ProcessFloatSamples(frames.data(), 8192);
         }
       },
       "Quantity,Unit,Left,Right",
       [](const QStringList& lines) {
         const QStringList frequency = Row(lines, "Frequency");
         ASSERT_EQ(frequency.size(), 4);
         EXPECT_EQ(frequency[1], "Hz");
         EXPECT_NEAR(frequency[2].toDouble(), 1000, 1e-4);
         EXPECT_EQ(frequency[3], "");  // no tone on the right
         QStringList h3;
         for (const QString& line : lines)
           if (line.startsWith("H3,%,")) h3 = line.split(',');
         ASSERT_EQ(h3.size(), 4);
         EXPECT_NEAR(h3[2].toDouble(), 1.0, 1e-4);
         EXPECT_NEAR(Row(lines, "THD")[2].toDouble(), 1.0, 1e-4);
       }},
  };
  for (const TFedCase& c : cases) {
    SCOPED_TRACE(c.name);
    TMainForm form;
    ShowForm(form);
    Show(form, c.page);
    c.fill(form);
    const QStringList lines = Export(form, "ExportData1", QString(c.name) + ".csv");
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
    ASSERT_GT(lines.size(), 1);
    EXPECT_EQ(lines[0], c.header);
    c.check(lines);
  }
}

// The response and the impulse response measured on the simulated card: the right input's
// known filter in the file.
TEST_F(ExportTest, MeasuredResponsesCarryTheCardsFilter) {
  {
    TMainForm form;
    ShowForm(form);
    Show(form, "TabSheetResponse");
    auto* range = Find<QComboBox>(form, "ComboBoxFreqRange");
    range->setCurrentIndex(0);  // 20 ... 20000 Hz
    emit range->activated(0);
    Find<QCheckBox>(form, "CheckBoxEnableAnalyser")->setChecked(true);
    Find<QCheckBox>(form, "CheckBoxStopAfterOne")->setChecked(true);
    Find<QPushButton>(form, "ButtonStartGenerator")->click();
    auto* plot = Find<TResponsePlot>(form, "ResponsePlot1");
    ASSERT_TRUE(PumpUntil([&] { return !plot->Enabled() && !form.Analyser()->Enabled(); }, 60000));
    const QStringList lines = Export(form, "ExportData1", "response.csv");
    ASSERT_EQ(lines.size(), 1 + plot->Points());
    EXPECT_EQ(lines[0], "Frequency (Hz),Left (dB),Right (dB)");
    const QStringList point = lines[1 + 300].split(',');
    const double hz = point[0].toDouble();
    EXPECT_EQ(hz, plot->Frequencies()[300]);
    EXPECT_NEAR(point[1].toDouble(), -20, 0.3);  // the wire
    EXPECT_NEAR(point[2].toDouble(), -20 + TSimulatedCard::RightGaindB(hz), 0.3);
  }
  TMainForm form;
  ShowForm(form);
  Show(form, "TabSheetImpulse");
  Find<QSpinBox>(form, "SpinEditImpulseLength")->setValue(2);
  Find<QPushButton>(form, "ButtonImpulseMeasure")->click();
  ASSERT_TRUE(PumpUntil([&] { return !form.ImpulseRunning(); }, 60000));
  const QStringList magnitude = Export(form, "ExportData1", "magnitude.csv");
  ASSERT_GT(magnitude.size(), 1000);
  EXPECT_EQ(magnitude[0], "Frequency (Hz),Left (dB),Right (dB)");
  // Bins of 44100 / 65536 Hz from the sweep's start at 20 Hz.
  EXPECT_NEAR(magnitude[1].section(',', 0, 0).toDouble(), 20, 44100.0 / 65536);
  for (int row : {300, 1486, 14860}) {
    const QStringList cells = magnitude[row].split(',');
    const double hz = cells[0].toDouble();
    EXPECT_DOUBLE_EQ(hz / (44100.0 / 65536), std::round(hz / (44100.0 / 65536))) << hz;
    EXPECT_NEAR(cells[1].toDouble(), 0, 0.1) << hz;
    EXPECT_NEAR(cells[2].toDouble(), TSimulatedCard::RightGaindB(hz), 0.1) << hz;
  }
  Find<QComboBox>(form, "ComboBoxImpulseView")->setCurrentIndex(0);
  const QStringList impulse = Export(form, "ExportData1", "impulse.csv");
  EXPECT_EQ(impulse[0], "Time (ms),Left (linear),Right (linear)");
  const TChannelImpulse& wire = Find<TImpulseDisplay>(form, "ImpulseDisplay1")->Result().Channel[0];
  const QStringList peak = Row(impulse, "0");
  ASSERT_EQ(peak.size(), 3);
  EXPECT_EQ(peak[1].toFloat(), wire.Impulse[std::lrint(wire.PeakIndex)]);
  EXPECT_GT(peak[1].toDouble(), 0.9);
  EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
}

TEST_F(ExportTest, PictureIsTheDisplayAsDrawn) {
  TMainForm form;
  ShowForm(form);
  Show(form, "TabSheetScope");
  auto* scope = Find<TWaveformDisplay>(form, "WaveformDisplay1");
  Feed(scope, Ramp(4410));
  Find<QAction>(form, "ExportPicture1")->trigger();  // the dialog cancelled: nothing
  ASSERT_EQ(dialogs.saves.size(), 1u);
  EXPECT_EQ(dialogs.saves[0].Title, "Export picture");
  EXPECT_EQ(dialogs.saves[0].FileName, QDir(QDir::homePath()).filePath("scope.png"));
  EXPECT_EQ(dialogs.saves[0].DefaultExt, "png");
  EXPECT_EQ(dialogs.saves[0].Filter, "PNG pictures (*.png)|*.png|All files (*.*)|*.*");
  Export(form, "ExportPicture1", "picture");  // the extension is added
  const QImage image(folder.filePath("picture.png"));
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), scope->size());
  const QImage drawn = scope->grab().toImage().convertToFormat(image.format());
  EXPECT_EQ(image, drawn);
  EXPECT_EQ(image.pixel(0, 0) & 0xffffff, 0u);  // the border's dark corner
  EXPECT_EQ(image.pixel(scope->width() - 1, scope->height() - 1) & 0xffffff, 0xffffffu);
  // The next export proposes the folder used last.
  Show(form, "TabSheetSpectrum");
  Find<QAction>(form, "ExportPicture1")->trigger();
  EXPECT_EQ(dialogs.saves.back().FileName, QDir(folder.path()).filePath("spectrum.png"));
  EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
}

TEST_F(ExportTest, ActionsFollowThePageAndRefuseOrReportWhatCannotBeDone) {
  TMainForm form;
  ShowForm(form);
  auto* picture = Find<QAction>(form, "ExportPicture1");
  auto* data = Find<QAction>(form, "ExportData1");
  const std::pair<const char*, bool> pages[] = {
      {"TabSheetInput", false}, {"TabSheetScope", true},    {"TabSheetVectorscope", true},
      {"TabSheetSpectrum", true}, {"TabSheetResponse", true}, {"TabSheetImpulse", true},
      {"TabSheetDistortion", true}, {"TabSheetInput", false}};
  for (const auto& [page, enabled] : pages) {
    Show(form, page);
    EXPECT_EQ(picture->isEnabled(), enabled) << page;
    EXPECT_EQ(data->isEnabled(), enabled) << page;
  }
  // Nothing analysed yet: a message, no dialog, no file.
  Show(form, "TabSheetSpectrum");
  EXPECT_TRUE(Export(form, "ExportData1", "spectrum.csv").isEmpty());
  EXPECT_TRUE(dialogs.saves.empty());
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0],
            "The spectrum analyser has analysed no block yet.  Nothing was exported.");

  // An existing file is replaced only when the user agrees.
  Feed(Find<TSpectrumDisplay>(form, "SpectrumDisplay1"), Sine(0.1, 1000, 4096));
  const QString name = folder.filePath("spectrum.csv");
  {
    QFile old(name);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
  }
  recorder.answer = false;
  dialogs.answer = name;
  data->trigger();
  ASSERT_EQ(recorder.questions.size(), 1u);
  EXPECT_EQ(recorder.questions[0], "spectrum.csv already exists.\rDo you want to replace it?");
  EXPECT_EQ(recorder.questionTitles[0], "Export data");
  EXPECT_EQ(dialogs.saves.back().FileName, QDir(QDir::homePath()).filePath("spectrum.csv"));
  QFile kept(name);
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), "old");
  kept.close();
  recorder.answer = true;
  EXPECT_EQ(Export(form, "ExportData1", "spectrum.csv").size(), 1 + 28);

  // A folder that is not there: one message naming the file and the reason.
  recorder.messages.clear();
  dialogs.answer = folder.filePath("missing/spectrum.csv");
  data->trigger();
  ASSERT_EQ(recorder.messages.size(), 1u);
  const std::string prefix = "Could not write the data file \"" + dialogs.answer.toStdString() + "\": ";
  EXPECT_EQ(recorder.messages[0].substr(0, prefix.size()), prefix);
  EXPECT_GT(recorder.messages[0].size(), prefix.size() + 2);
}

}  // namespace
