// The "Impulse response" page measured through the window on the simulated card, whose left
// input is a wire and right input a known loudspeaker model: the curves against the model's
// exact response, the delay against the card's, the generator and analyser given back however
// a measurement ends, and the response and impulse files read back (the WAV file by sox).
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "ImpulsePage.h"
#include "MainForm.h"
#include "ResponseText.h"
#include "SimulatedCard.h"
#include "ToneGenerator.h"

namespace {

constexpr double kRate = 44100;

class ImpulsePageTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});
  }
  static TImpulseDisplay* Display(const TMainForm& f) {
    return Find<TImpulseDisplay>(f, "ImpulseDisplay1");
  }
  // The page shown, a short sweep chosen, Measure clicked; waits for the end of the run.
  static void Measure(TMainForm& f, bool dual = false, int averaging = 0) {
    Find<QTabWidget>(f, "PageControlAnalyser")->setCurrentWidget(Find<QWidget>(f, "TabSheetImpulse"));
    Find<QSpinBox>(f, "SpinEditImpulseLength")->setValue(2);
    Find<QCheckBox>(f, "CheckBoxImpulseDual")->setChecked(dual);
    Find<QComboBox>(f, "ComboBoxImpulseAveraging")->setCurrentIndex(averaging);
    Find<QPushButton>(f, "ButtonImpulseMeasure")->click();
    ASSERT_TRUE(f.ImpulseRunning());
    ASSERT_TRUE(PumpUntil([&] { return !f.ImpulseRunning(); }, 60000));
  }
  // Where the card put the last run's first played frame in the capture, ms.
  double CardDelayMs() {
    return (Card().LastOutputStartFrame() - Card().LastInputStartFrame() +
            Card().CurrentDelayFrames()) * 1000 / kRate;
  }
};

double Number(const QString& text, int n) {
  static const QRegularExpression number("-?\\d+\\.\\d+");
  auto it = number.globalMatch(text);
  for (int i = 0; i < n && it.hasNext(); ++i) it.next();
  return it.hasNext() ? it.next().captured().toDouble() : NAN;
}

struct TModelCase {
  const char* name;
  bool dual;
  int averaging;  // list index: 1, 2, 4, 8 sweeps
};

TEST_F(ImpulsePageTest, ShowsTheCardsModelsAndItsDelay) {
  const TModelCase cases[] = {{"single, one sweep", false, 0}, {"right over left, two sweeps", true, 1}};
  for (const TModelCase& c : cases) {
    SCOPED_TRACE(c.name);
    TMainForm form;
    ShowForm(form);
    Measure(form, c.dual, c.averaging);
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
    TImpulseDisplay& d = *Display(form);
    ASSERT_TRUE(d.HasResult());
    EXPECT_EQ(d.Result().Channel[0].Captures, c.averaging ? 2 : 1);
    // Right over left divides the card's wire out: both cases show the right input's model.
    const int main = c.dual ? TImpulseDisplay::kRatio : 1;
    EXPECT_EQ(d.MainChannel(), main);
    for (double hz : {40.0, 100.0, 1000.0, 3000.0, 10000.0, 18000.0}) {
      SCOPED_TRACE(hz);
      EXPECT_NEAR(d.CurveValue(TImpulseView::Magnitude, main, hz), TSimulatedCard::RightGaindB(hz), 0.1);
      if (!c.dual) {
        EXPECT_NEAR(d.CurveValue(TImpulseView::Magnitude, 0, hz), 0.0, 0.1);
      }
    }
    const QString delay = Find<QLabel>(form, "LabelImpulseDelay")->text();
    if (c.dual) {
      EXPECT_TRUE(delay.startsWith("Delay R - L ")) << delay.toStdString();
      EXPECT_NEAR(Number(delay, 0), d.Result().Channel[1].Delay * 1000 / kRate, 0.006);
    } else {
      // The wire's delay is the card's round trip from where the capture began.
      EXPECT_TRUE(delay.startsWith("Delay ")) << delay.toStdString();
      EXPECT_NEAR(Number(delay, 0), CardDelayMs(), 0.006) << delay.toStdString();
    }

    // The magnitude view draws the main curve where its value says, in its colour.
    const QImage image = d.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb colour = c.dual ? qRgb(128, 0, 128) : qRgb(255, 0, 0);
    const int x = d.FrequencyColumn(1000);
    const int row = d.ValueRow(d.CurveValue(TImpulseView::Magnitude, main, d.ColumnFrequency(x)));
    int found = -1;
    for (int y = d.PlotArea().Top; y < d.PlotArea().Bottom; ++y)
      if ((image.pixel(x, y) & 0xffffff) == (colour & 0xffffff) && std::abs(y - row) <= 1) found = y;
    EXPECT_NE(found, -1) << "row " << row;
    // The readout follows the mouse with the curve's value there.
    form.ImpulseDisplay1MouseMove(x, row);
    const QString readout = Find<QLabel>(form, "LabelImpulseMarker")->text();
    EXPECT_EQ(readout, QString::asprintf("%.0f Hz,  %.2f dB", d.ColumnFrequency(x),
                                         d.CurveValue(TImpulseView::Magnitude, main, d.ColumnFrequency(x))));
    if (c.dual) continue;

    // The impulse view: the wire's peak at 0 ms in blue up to its value, and the right input's
    // window shaded from its start to its end.
    Find<QComboBox>(form, "ComboBoxImpulseView")->setCurrentIndex(0);
    const QImage impulse = d.grab().toImage().convertToFormat(QImage::Format_RGB32);
    double first = 0, last = 0;
    d.TimeRange(first, last);
    const TRect p = d.PlotArea();
    const auto column = [&](double ms) {
      return p.Left + static_cast<int>(std::lrint((ms - first) / (last - first) * (p.Width() - 1)));
    };
    const TChannelImpulse& wire = d.Result().Channel[0];
    const double peak = wire.Impulse[std::lrint(wire.PeakIndex)];
    const int top = d.ValueRow(peak);
    EXPECT_EQ(impulse.pixel(column(0), top) & 0xffffff, 0x0000ffu) << "row " << top;
    EXPECT_NE(impulse.pixel(column(0), top - 2) & 0xffffff, 0x0000ffu);
    const TIrWindow& w = d.Result().Channel[1].Window;
    const int clear = d.ValueRow(d.ScaleBottom() / 4);  // between grid lines, off the trace
    EXPECT_EQ(impulse.pixel(column((w.StartMs + w.EndMs) / 2), clear) & 0xffffff, 0xfff4c8u);
    EXPECT_EQ(impulse.pixel(column(w.EndMs) + 3, clear) & 0xffffff, 0xffffffu);
  }
}

enum class TEnd { Completed, Cancelled, OutputFailed, PageLeft };

TEST_F(ImpulsePageTest, TheGeneratorAndAnalyserComeBackHoweverTheRunEnds) {
  for (TEnd end : {TEnd::Completed, TEnd::Cancelled, TEnd::OutputFailed, TEnd::PageLeft}) {
    SCOPED_TRACE(static_cast<int>(end));
    recorder = {};
    bool held = false;  // outlives the window, whose generator's handler sets it
    TMainForm form;
    ShowForm(form);
    TAudioToneGenerator* g = form.ToneGenerator();
    Find<QTabWidget>(form, "PageControlAnalyser")->setCurrentWidget(Find<QWidget>(form, "TabSheetImpulse"));
    Find<QPushButton>(form, "ButtonStartGenerator")->click();
    Find<QPushButton>(form, "ButtonStartAnalyser")->click();
    ASSERT_TRUE(g->Enabled() && form.Analyser()->Enabled());
    const float frequency = g->LeftFrequency();
    ASSERT_TRUE(PumpUntil([&] { return g->LastFrequencyPlayed() == frequency; }));
    const int blockFrames = g->BufferSamples();
    // The card is held once the first block of the sweep has played (it carries no tone
    // frequency), so that it cannot finish the run before the test looks. (Setting a handler
    // reopens the stream: done before the measurement.)
    g->SetOnDone([&](QObject*) {
      if (held || !form.ImpulseRunning() || g->LastPlayedValue() != 0) return;
      Card().SetFrozen(true);
      held = true;
    });

    Find<QSpinBox>(form, "SpinEditImpulseLength")->setValue(2);
    auto* measure = Find<QPushButton>(form, "ButtonImpulseMeasure");
    measure->click();
    EXPECT_EQ(measure->text(), "Cancel");
    EXPECT_FALSE(Find<QPushButton>(form, "ButtonStartGenerator")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>(form, "ButtonSaveAs")->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return held; }, 20000));
    EXPECT_GT(Find<QProgressBar>(form, "ProgressBarImpulse")->value(), 0);
    PumpFor(50);
    ASSERT_TRUE(form.ImpulseRunning());
    if (end == TEnd::Cancelled) measure->click();
    if (end == TEnd::OutputFailed) Card().FailOutputs(19, "Server gone");
    if (end == TEnd::PageLeft) Find<QTabWidget>(form, "PageControlAnalyser")->setCurrentIndex(2);
    Card().SetFrozen(false);
    ASSERT_TRUE(PumpUntil([&] { return !form.ImpulseRunning(); }, 60000));
    if (end == TEnd::OutputFailed) {
      ASSERT_TRUE(PumpUntil([&] { return !recorder.exceptions.empty(); }));
    }

    EXPECT_EQ(Display(form)->HasResult(), end == TEnd::Completed);
    EXPECT_EQ(recorder.exceptions.size(), end == TEnd::OutputFailed ? 1u : 0u) << recorder.Log();
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
    EXPECT_EQ(measure->text(), "Measure");
    EXPECT_EQ(Find<QProgressBar>(form, "ProgressBarImpulse")->value(), 0);
    for (const char* name : {"ButtonStartGenerator", "ButtonStartAnalyser", "ButtonSaveAs",
                             "SpinEditImpulseLength", "ComboBoxImpulseAveraging"})
      EXPECT_TRUE(Find<QWidget>(form, name)->isEnabled()) << name;
    // The tone plays again through its own fill, as it was set.
    EXPECT_TRUE(g->Enabled());
    EXPECT_TRUE(form.Analyser()->Enabled());
    EXPECT_EQ(form.Analyser()->Display() == Display(form), end != TEnd::PageLeft);
    EXPECT_EQ(Find<QPushButton>(form, "ButtonStartGenerator")->text(), "STOP");
    EXPECT_EQ(Find<QPushButton>(form, "ButtonStartAnalyser")->text(), "STOP");
    EXPECT_EQ(g->BufferSamples(), blockFrames);
    EXPECT_EQ(g->LeftFrequency(), frequency);
    std::vector<int16_t> block(2 * static_cast<std::size_t>(blockFrames));
    wavehdr_tag h;
    h.lpData = reinterpret_cast<char*>(block.data());
    h.dwBufferLength = static_cast<uint32_t>(4 * blockFrames);
    g->OnNeedData()(&h);
    EXPECT_EQ(h.dwUser, std::bit_cast<uint32_t>(frequency));
    ASSERT_TRUE(PumpUntil([&] { return g->LastFrequencyPlayed() == frequency; }, 20000));
  }
}

TEST_F(ImpulsePageTest, SavedFilesReadBackAndALoadedResponseIsDrawnOrDividedOut) {
  TMainForm form;
  ShowForm(form);
  Measure(form);
  TImpulseDisplay& d = *Display(form);
  ASSERT_TRUE(d.HasResult());
  Find<QComboBox>(form, "ComboBoxImpulseSmoothing")->setCurrentIndex(3);  // 1/6 octave
  ASSERT_EQ(d.Smoothing(), TSmoothing::Octave6);

  // The response as shown, smoothing included, in the text the reader takes.
  const QString text = folder.filePath("right");  // the extension is added
  dialogs.answer = text;
  Find<QPushButton>(form, "ButtonImpulseSave")->click();
  QFile file(text + ".txt");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  const TResponseTextParse parse = ParseResponseText(std::string_view(bytes.data(), bytes.size()));
  ASSERT_TRUE(parse.Ok) << parse.Reason;
  EXPECT_TRUE(parse.Text.HasPhase);
  EXPECT_EQ(parse.Text.Comments.at(1), "Right input");
  EXPECT_EQ(parse.Text.Comments.back(), "Smoothing 1/6 octave");
  EXPECT_NEAR(parse.Text.Points.front().Hz, 20, 1e-3);
  EXPECT_NEAR(parse.Text.Points.back().Hz, 20000, 1e-3);
  for (double hz : {50.0, 1000.0, 12000.0}) {
    const TResponsePoint p = InterpolateResponse(parse.Text, hz);
    EXPECT_NEAR(p.dB, d.CurveValue(TImpulseView::Magnitude, 1, hz), 0.02) << hz;
  }

  // The impulse responses, as sox reads them: 32-bit float, stereo, every sample.
  const QString wav = folder.filePath("impulse.wav");
  dialogs.answer = wav;
  Find<QPushButton>(form, "ButtonImpulseSaveWav")->click();
  QProcess sox;
  for (const auto& [option, value] : {std::pair{"-e", "Floating Point PCM"}, {"-b", "32"}, {"-c", "2"}, {"-r", "44100"}}) {
    sox.start("sox", {"--i", option, wav});
    ASSERT_TRUE(sox.waitForFinished());
    EXPECT_EQ(sox.readAllStandardOutput().trimmed().toStdString(), value) << option;
  }
  sox.start("sox", {wav, "-t", "raw", "-e", "floating-point", "-b", "32", "-"});
  ASSERT_TRUE(sox.waitForFinished());
  const QByteArray raw = sox.readAllStandardOutput();
  const std::vector<float>* impulse[2] = {&d.Result().Channel[0].Impulse, &d.Result().Channel[1].Impulse};
  ASSERT_EQ(static_cast<std::size_t>(raw.size()), 2 * sizeof(float) * impulse[0]->size());
  std::vector<float> samples(raw.size() / sizeof(float));
  std::memcpy(samples.data(), raw.data(), raw.size());
  double worst = 0;
  for (std::size_t i = 0; i < impulse[0]->size(); ++i)
    for (int ch = 0; ch < 2; ++ch)
      worst = std::max(worst, std::abs(double(samples[2 * i + ch]) - (*impulse[ch])[i]));
  EXPECT_LT(worst, 1e-7) << "sox keeps 32-bit integers inside";

  // The saved response loaded: drawn over the measured one, then divided out of it.
  dialogs.answer = text + ".txt";
  Find<QPushButton>(form, "ButtonImpulseLoad")->click();
  EXPECT_EQ(d.Loaded().Points.size(), parse.Text.Points.size());
  const QImage image = d.grab().toImage().convertToFormat(QImage::Format_RGB32);
  int green = 0;
  for (int y = d.PlotArea().Top; y < d.PlotArea().Bottom; ++y)
    for (int x = d.PlotArea().Left; x < d.PlotArea().Right; ++x)
      green += (image.pixel(x, y) & 0xffffff) == 0x00a000;
  EXPECT_GT(green, 150) << "the loaded curve, dotted over the measured one";
  Find<QCheckBox>(form, "CheckBoxImpulseDivide")->setChecked(true);
  for (double hz : {30.0, 200.0, 1000.0, 3000.0, 15000.0}) {
    EXPECT_NEAR(d.CurveValue(TImpulseView::Magnitude, 1, hz), 0, 0.02) << hz;
    EXPECT_NEAR(d.CurveValue(TImpulseView::Phase, 1, hz), 0, 0.05) << hz;
  }
  EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();

  // A file that is no response: one message naming it and the line, the loaded one kept.
  const QString bad = folder.filePath("bad.txt");
  QFile out(bad);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write("100 0\n50 -1\n");
  out.close();
  dialogs.answer = bad;
  Find<QPushButton>(form, "ButtonImpulseLoad")->click();
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_TRUE(QString::fromStdString(recorder.messages[0])
                  .startsWith("\"" + bad + "\" is not a response file: line 2: "))
      << recorder.messages[0];
  EXPECT_EQ(d.Loaded().Points.size(), parse.Text.Points.size());
}

}  // namespace
