// The "Spectrum analyser" page: what its controls give the display, the readouts above it, the
// stored settings, and a tone from the tone controls measured through the simulated card.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "Controls.h"
#include "DisplaySpectrum.h"
#include "MainForm.h"

namespace {

class SpectrumPageTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});
  }
  static void Choose(const TMainForm& f, int index) {  // as the user does
    auto* box = Find<QComboBox>(f, "ComboBoxSpectrumMode");
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
  static void Mouse(QWidget* w, QEvent::Type type, int x, int y) {
    const QPointF at(x, y);
    QMouseEvent event(type, at, w->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
  }
  static void Click(QWidget* w, int x, int y) {
    Mouse(w, QEvent::MouseMove, x, y);
    Mouse(w, QEvent::MouseButtonPress, x, y);
    Mouse(w, QEvent::MouseButtonRelease, x, y);
  }
  static std::string Text(const TMainForm& f, const char* label) {
    return Find<QLabel>(f, label)->text().toStdString();
  }
};

TEST_F(SpectrumPageTest, ModeItemsSetRangeThenModeAndTheHumFilter) {
  TMainForm form;
  ShowForm(form);
  auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
  Find<QSpinBox>(form, "SpinEditUserF1")->setValue(440);
  Find<QSpinBox>(form, "SpinEditUserF2")->setValue(8800);
  Find<QCheckBox>(form, "CheckBoxHumFilter")->setChecked(true);
  d->SetHumReject(false);  // the mode item sets it again from the box
  struct TItem {
    int index;
    TSpectrumDisplayMode mode;
    int min, max;
  };
  const TItem items[] = {
      {1, sdLogFreq, 20, 20000},       {2, sdLinFreq, 0, 22050},
      {3, sdLinFreq, 300, 3300},       {4, sdLinFreq, 440, 8800},
      {5, sdLogSpectrogram, 80, 15000}, {6, sdLinSpectrogram, 0, 10000},
      {7, sdLinSpectrogram, 300, 3300}, {0, sdOctave3, 300, 3300},  // bars keep the range
  };
  for (const TItem& item : items) {
    Choose(form, item.index);
    EXPECT_EQ(d->Mode(), item.mode) << item.index;
    EXPECT_EQ(d->FreqMin(), item.min) << item.index;
    EXPECT_EQ(d->FreqMax(), item.max) << item.index;
    EXPECT_TRUE(d->HumReject()) << item.index;
  }
  // Leaving a user frequency box runs the mode item again.
  Choose(form, 4);
  Find<QSpinBox>(form, "SpinEditUserF2")->setValue(5000);
  emit Find<QSpinBox>(form, "SpinEditUserF2")->editingFinished();
  EXPECT_EQ(d->FreqMax(), 5000);

  // Channel, resolution, averaging.
  auto* channels = Find<TRadioGroup>(form, "RadioGroupInChannel");
  const TChannelSelect selects[] = {csLeft, csRight, csSum, csDiff};
  for (int i = 0; i < 4; ++i) {
    channels->SetItemIndex(i);
    EXPECT_EQ(d->ChannelSelect(), selects[i]);
  }
  Find<QCheckBox>(form, "CheckBoxHighResn")->setChecked(true);
  EXPECT_EQ(d->FFTpower(), 14);
  EXPECT_EQ(form.Analyser()->BufferSamples(), 16384);
  Find<QCheckBox>(form, "CheckBoxSpectrumMvgAvg")->setChecked(false);
  EXPECT_FALSE(d->MovingAverage());
}

TEST_F(SpectrumPageTest, StoredSettingsReachTheDisplayAndGoBackOnClose) {
  Store({{"SpectrumMode", 1}, {"SpectrumInChannel", 0}, {"SpectrumHumFilter", true},
         {"SpectrumHighResolution", true}, {"SpectrumMovingAverage", false},
         {"SpectrumMin", 5}, {"SpectrumMax", 0}});
  {
    TMainForm form;
    ShowForm(form);
    auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
    EXPECT_EQ(d->Mode(), sdLogFreq);
    EXPECT_EQ(d->ChannelSelect(), csLeft);
    EXPECT_TRUE(d->HumReject());
    EXPECT_EQ(d->FFTpower(), 14);
    EXPECT_EQ(form.Analyser()->BufferSamples(), 16384);
    EXPECT_FALSE(d->MovingAverage());
    // Bottom position 5 asks for -5 dB: MindB stops at -10 and pushes MaxdB up to 0.
    EXPECT_EQ(d->MindB(), -10);
    EXPECT_EQ(d->MaxdB(), 0);
    form.close();
  }
  EXPECT_EQ(Stored("SpectrumMode").toInt(), 1);
  EXPECT_EQ(Stored("SpectrumInChannel").toInt(), 0);
  EXPECT_EQ(Stored("SpectrumHighResolution").toBool(), true);
  EXPECT_EQ(Stored("SpectrumMin").toInt(), 5);  // the positions, not the values in force
  EXPECT_EQ(Stored("SpectrumMax").toInt(), 0);

  Store({{"SpectrumMin", 90}, {"SpectrumMax", 10}});
  TMainForm form;
  ShowForm(form);
  auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
  EXPECT_EQ(d->MaxdB(), -10);
  EXPECT_EQ(d->MindB(), -90);
}

// A 1 kHz sine at -20 dB from the tone controls, read on the left input (the card's wire).
TEST_F(SpectrumPageTest, ToneThroughTheCardShowsItsPeakAndBand) {
  TMainForm form;
  ShowForm(form);
  auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
  Find<QComboBox>(form, "ComboBoxFreqRange")->setCurrentIndex(2);  // 300 ... 3000 Hz
  emit Find<QComboBox>(form, "ComboBoxFreqRange")->activated(2);
  Find<QSlider>(form, "TrackBarFLeft")->setValue(2300);  // 1000 Hz, both channels locked
  ASSERT_EQ(Text(form, "LabelFLeft"), "1000");
  ASSERT_EQ(Text(form, "LabelLAmplitude"), "-20 dB");
  Find<TRadioGroup>(form, "RadioGroupInChannel")->SetItemIndex(0);  // "Left"
  Choose(form, 1);                                                  // "Log"
  Find<QPushButton>(form, "ButtonStartAnalyser")->click();
  Find<QPushButton>(form, "ButtonStartGenerator")->click();
  auto settle = [&] {
    const int target = form.Analyser()->BufferNumber() + 12;
    return PumpUntil([&] { return form.Analyser()->BufferNumber() >= target; }, 20000);
  };
  ASSERT_TRUE(settle());
  d->repaint();

  // What this display must show: the power of each bin of the Hann-windowed sine, as the
  // column reduction averages it (bins of a column, scaled to the mean bins per column).
  const int n = d->N();
  const double amplitude = std::lrint(0.1 * 32767 * 1e4) / 1e4 / 32768;
  auto binPower = [&](int k) {
    std::complex<double> sum;
    for (int j = 0; j < n; ++j) {
      const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * j / (n - 1));
      sum += w * amplitude * std::sin(2 * std::numbers::pi * 1000.0 * j / 44100) *
             std::polar(1.0, -2 * std::numbers::pi * k * j / n);
    }
    return std::norm(sum);
  };
  const auto bins = d->ColumnBins();
  const int count = static_cast<int>(bins.size());
  const double s = double(bins[count - 1] - bins[0]) / count;
  double expected = 0;
  for (int i = 1; i < count - 1; ++i) {
    const int lo = (bins[i - 1] + bins[i]) / 2, hi = (bins[i] + bins[i + 1]) / 2;
    if (hi < 85 || lo > 101) continue;  // far from the tone's bin 92.9
    double sum = 0;
    for (int k = lo; k <= hi; ++k) sum += binPower(k);
    expected = std::max(expected, s * sum / ((hi - lo + 1) * d->ReferencePower()));
  }
  const double expecteddB = 10 * std::log10(expected);
  std::printf("a -20 dBFS sine at 1 kHz must read %.2f dB on the \"Log\" display\n", expecteddB);

  // Click just below the top of the drawn peak.
  const auto points = d->LeftPoints();
  int top = 1;
  for (int j = 2; j < static_cast<int>(points.size()); ++j)
    if (points[j].y() < points[top].y()) top = j;
  Click(d, top + 1, points[top].y() + 3);
  const std::string peak = Text(form, "LabelSpectrumPeaks");
  std::printf("the window shows \"%s\"\n", peak.c_str());
  float f = 0, l = 0;
  ASSERT_EQ(std::sscanf(peak.c_str(), "Peak: %f Hz, %f dB", &f, &l), 2) << peak;
  const float columnHz = 1000.0f * (std::pow(1000.0f, 1.0f / 440) - 1);
  EXPECT_NEAR(f, 1000.0, columnHz) << peak;
  EXPECT_NEAR(l, expecteddB, 0.6) << peak;
  EXPECT_EQ(peak.find("delta"), std::string::npos);
  // The cursor readout of the column under the mouse.
  EXPECT_EQ(Text(form, "LabelSpectrumMarker").rfind("Cursor: ", 0), 0u);

  Choose(form, 0);  // "1/3 octave": the display restarts the running capture
  ASSERT_TRUE(settle());
  EXPECT_EQ(Find<QPushButton>(form, "ButtonStartAnalyser")->text(), "STOP");
  const auto bands = d->ColumnArray(0);
  ASSERT_EQ(d->PointCount(), 28);
  const double band15 = 10 * std::log10(bands[15]);
  std::printf("1 kHz band %.1f dB, bands 10 and 20 at %.1f and %.1f dB\n", band15,
              10 * std::log10(bands[10]), 10 * std::log10(bands[20]));
  EXPECT_GT(band15, -25);
  EXPECT_LT(10 * std::log10(bands[10]), band15 - 40);
  EXPECT_LT(10 * std::log10(bands[20]), band15 - 40);
  // Over the bars the cursor readout is empty.
  Mouse(d, QEvent::MouseMove, 100, 100);
  EXPECT_EQ(Text(form, "LabelSpectrumMarker"), "");
  Find<QPushButton>(form, "ButtonStartGenerator")->click();
  Find<QPushButton>(form, "ButtonStartAnalyser")->click();
}

TEST_F(SpectrumPageTest, PeakReadoutsAndClearingThem) {
  TMainForm form;
  ShowForm(form);
  auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
  auto* peaks = Find<TClickLabel>(form, "LabelSpectrumPeaks");
  Click(peaks, 5, 5);
  EXPECT_TRUE(recorder.questions.empty()) << "an empty label asks nothing";

  Choose(form, 2);  // "Linear", 0 ... 22050 Hz
  d->SetMovingAverage(false);
  std::vector<int16_t> block(2 * 4096);
  for (int j = 0; j < 4096; ++j)  // bins 100 and 300 at -26 and -46 dB
    block[2 * j] = block[2 * j + 1] = static_cast<int16_t>(std::lrint(
        1638 * std::sin(2 * std::numbers::pi * 100 * j / 4096) +
        164 * std::sin(2 * std::numbers::pi * 300 * j / 4096)));
  bool go = true;
  d->ProcessSamples(block.data(), 4096, go);
  d->repaint();
  // Bin 100 is about column 21.5 (2048 bins on 441 columns), bin 300 about 64.6.
  auto peakAt = [&](int near) {
    int best = near;
    for (int j = near - 3; j <= near + 3; ++j)
      if (d->LeftPoints()[j].y() < d->LeftPoints()[best].y()) best = j;
    Click(d, best + 1, d->LeftPoints()[best].y() + 2);
    return Text(form, "LabelSpectrumPeaks");
  };
  const std::string first = peakAt(21);
  float f1 = 0, l1 = 0;
  ASSERT_EQ(std::sscanf(first.c_str(), "Peak: %f Hz, %f dB", &f1, &l1), 2) << first;
  EXPECT_NEAR(f1, 100 * 44100.0 / 4096, 50.2) << first;
  const std::string second = peakAt(64);
  float f2 = 0, l2 = 0, df = 0, dl = 0;
  ASSERT_EQ(std::sscanf(second.c_str(), "Peak: %f Hz, %f dB,  [delta: %f Hz, %f dB]", &f2, &l2,
                        &df, &dl),
            4)
      << second;
  EXPECT_NEAR(df, f2 - f1, 1.0) << second;
  EXPECT_NEAR(dl, std::lrint(l2 - l1), 0.01) << second << " (delta level without decimals)";
  EXPECT_NEAR(dl, -20, 1.5) << second;

  recorder.answer = false;
  Click(peaks, 5, 5);
  ASSERT_EQ(recorder.questionTitles, std::vector<std::string>{"Clear peak markers"});
  EXPECT_EQ(recorder.questions.back(), "Do you want to clear the peak markers?");
  EXPECT_EQ(Text(form, "LabelSpectrumPeaks"), second) << "No keeps them";
  recorder.answer = true;
  Click(peaks, 5, 5);
  EXPECT_EQ(Text(form, "LabelSpectrumPeaks"), "");
  peakAt(21);
  EXPECT_EQ(Text(form, "LabelSpectrumPeaks"), first) << "no delta after clearing";
}

// The cursor and peak readouts describe the trace under them: a new mode, channel, hum filter
// or resolution (a new trace) clears both, and the next peak has no delta to the old one; a new
// dB scale keeps the peak (its level is the trace's) and reads the cursor's row again.
TEST_F(SpectrumPageTest, ReadoutsGoWithTheTraceTheyDescribe) {
  TMainForm form;
  ShowForm(form);
  auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
  auto* hum = Find<QCheckBox>(form, "CheckBoxHumFilter");
  auto* resolution = Find<QCheckBox>(form, "CheckBoxHighResn");
  Choose(form, 2);  // "Linear", 0 ... 22050 Hz
  d->SetMovingAverage(false);
  auto readouts = [&] {
    // A sine on bin 100 of 4096 (column 21 or 22) at -26 dB, whatever the FFT length.
    const int n = d->N();
    std::vector<int16_t> block(2 * static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j)
      block[2 * j] = block[2 * j + 1] =
          static_cast<int16_t>(std::lrint(1638 * std::sin(2 * std::numbers::pi * 100 * j / 4096)));
    bool go = true;
    d->ProcessSamples(block.data(), n, go);
    d->repaint();
    int best = 18;
    for (int j = 18; j <= 25; ++j)
      if (d->LeftPoints()[j].y() < d->LeftPoints()[best].y()) best = j;
    Click(d, best + 1, d->LeftPoints()[best].y() + 2);
    Mouse(d, QEvent::MouseMove, 100, 60);
  };
  struct TChange {
    const char* what;
    std::function<void()> change;
  };
  const TChange changes[] = {
      {"mode", [&] { Choose(form, 3); Choose(form, 2); }},
      {"channel", [&] { Find<TRadioGroup>(form, "RadioGroupInChannel")->SetItemIndex(0); }},
      {"hum filter", [&] { hum->setChecked(!hum->isChecked()); }},
      {"resolution", [&] { resolution->setChecked(!resolution->isChecked()); }},
  };
  for (const TChange& c : changes) {
    SCOPED_TRACE(c.what);
    readouts();
    readouts();  // a second peak: with a delta to the first
    ASSERT_NE(Text(form, "LabelSpectrumPeaks").find("delta"), std::string::npos);
    ASSERT_EQ(Text(form, "LabelSpectrumMarker").rfind("Cursor: ", 0), 0u);
    c.change();
    EXPECT_EQ(Text(form, "LabelSpectrumMarker"), "");
    EXPECT_EQ(Text(form, "LabelSpectrumPeaks"), "");
    readouts();
    EXPECT_EQ(Text(form, "LabelSpectrumPeaks").find("delta"), std::string::npos);
  }

  readouts();
  const std::string peak = Text(form, "LabelSpectrumPeaks");
  auto* top = Find<TUpDown>(form, "UpDownSpectMax");
  top->SetPosition(top->Position() + 20);
  emit top->Click(btNext);
  EXPECT_EQ(Text(form, "LabelSpectrumPeaks"), peak);
  float f = 0, l = 0;
  ASSERT_TRUE(d->Readout(100, 60, f, l));
  EXPECT_EQ(Text(form, "LabelSpectrumMarker"),
            QString::asprintf("Cursor: %.0f Hz,  %.1f dB", f, l).toStdString());
}

}  // namespace
