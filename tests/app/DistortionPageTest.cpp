// The "Distortion" page: the display fed blocks of known tones (its readouts, bars and
// averaging), what the page's controls give it, and a tone measured through the simulated card.
#include <QComboBox>
#include <QPushButton>
#include <QTabWidget>

#include <cmath>
#include <numbers>
#include <vector>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "DistortionPage.h"
#include "MainForm.h"
#include "SimulatedCard.h"
#include "ToneGenerator.h"

namespace {

constexpr double kRate = 44100;
const QRgb kBlue = qRgb(0, 0, 255), kRed = qRgb(255, 0, 0);

struct TTone {
  double amplitude = 0;  // full scale 1.0
  int order = 0;         // one harmonic, 0 for none
  double dBc = 0;
};

// Frames first ... first + count - 1 of a 1 kHz tone per channel, on the 16-bit scale.
std::vector<double> Block(long first, int count, const TTone (&tone)[2]) {
  std::vector<double> frames(2 * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    for (int ch = 0; ch < 2; ++ch) {
      const double t = static_cast<double>(first + i) / kRate;
      const TTone& s = tone[ch];
      const double w = 2 * std::numbers::pi * 1000 * t;
      double v = std::sin(w + 0.3);
      if (s.order) v += std::pow(10, s.dBc / 20) * std::sin(s.order * w + 1.1);
      frames[2 * i + ch] = 32767 * s.amplitude * v;
    }
  return frames;
}

void Feed(TDistortionDisplay& d, const std::vector<double>& block, bool asFloat) {
  const int count = static_cast<int>(block.size() / 2);
  if (asFloat) {
    std::vector<float> f(block.begin(), block.end());
    d.ProcessFloatSamples(f.data(), count);
  } else {
    std::vector<int16_t> s(block.size());
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(std::lrint(block[i]));
    bool go = true;
    d.ProcessSamples(s.data(), count, go);
  }
}

// Rows of colour c in column x of rect r, top to bottom.
int TopRow(const QImage& image, int x, const TRect& r, QRgb c) {
  for (int y = r.Top; y < r.Bottom; ++y)
    if ((image.pixel(x, y) & 0xffffff) == (c & 0xffffff)) return y;
  return -1;
}

int Count(const QImage& image, const TRect& r, QRgb c) {
  int n = 0;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) n += (image.pixel(x, y) & 0xffffff) == (c & 0xffffff);
  return n;
}

class DistortionPageTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});
  }
};

struct TFeedCase {
  const char* name;
  bool asFloat;
  TTone tone[2];
  QStringList left, right;  // the readouts once analysed
};

TEST_F(DistortionPageTest, DisplayCollectsFourBlocksThenShowsEachChannelsReadingsAndBars) {
  const TFeedCase cases[] = {
      {"16-bit, a third harmonic left and a second right",
       false,
       {{0.5, 3, -60}, {0.25, 2, -40}},
       // THD+N holds the rounding's noise: 16-bit steps at -98.9 dBFS in the band.
       {"1000.00 Hz", "-6.02 dBFS", "THD+N  0.1001 %  -59.99 dB", "THD  0.1000 %  -60.00 dB"},
       {"1000.00 Hz", "-12.04 dBFS", "THD+N  1.000 %  -40.00 dB", "THD  1.000 %  -40.00 dB"}},
      {"float, the right channel silent",
       true,
       {{0.5, 3, -60}, {0, 0, 0}},
       {"1000.00 Hz", "-6.02 dBFS", "THD+N  0.1000 %  -60.00 dB", "THD  0.1000 %  -60.00 dB"},
       {"No signal"}},
  };
  for (const TFeedCase& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget page;
    page.resize(469, 292);
    auto& d = *new TDistortionDisplay(&page);
    d.SetBounds(0, 0, 469, 292);
    page.show();
    long t = 0;
    for (int block = 1; block <= 3; ++block, t += 8192) Feed(d, Block(t, 8192, c.tone), c.asFloat);
    EXPECT_EQ(d.HeldFrames(), 24576);
    EXPECT_EQ(d.Analyses(), 0);
    EXPECT_EQ(d.ReadoutLines(0), QStringList{"Collecting ..."});
    EXPECT_EQ(d.ReadoutLines(1), QStringList{"Collecting ..."});
    for (int block = 4; block <= 5; ++block, t += 8192) Feed(d, Block(t, 8192, c.tone), c.asFloat);
    EXPECT_EQ(d.HeldFrames(), 32768);
    EXPECT_EQ(d.Analyses(), 2) << "one analysis after every block once full";

    EXPECT_EQ(d.ReadoutLines(0).mid(0, 4).join(" | ").toStdString(), c.left.join(" | ").toStdString());
    EXPECT_EQ(d.ReadoutLines(1).mid(0, c.right.size()).join(" | ").toStdString(),
              c.right.join(" | ").toStdString());
    const QImage image = d.grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int ch = 0; ch < 2; ++ch) {
      const QRgb colour = ch ? kRed : kBlue;
      const TChannelDistortion& r = d.Result().Channel[ch];
      EXPECT_GT(Count(image, d.ReadoutRect(ch), colour), 200) << "readout text drawn";
      if (!c.tone[ch].order) {
        EXPECT_FALSE(r.Valid);
        EXPECT_EQ(Count(image, d.BarChartRect(), colour), 0);
        EXPECT_EQ(Count(image, d.SpectrumRect(), colour), 0);
        continue;
      }
      ASSERT_TRUE(r.Valid);
      EXPECT_NEAR(r.Frequency, 1000, 1e-4);
      const THarmonicReading* h = nullptr;
      for (const auto& each : r.Harmonics)
        if (each.Order == c.tone[ch].order) h = &each;
      ASSERT_NE(h, nullptr);
      EXPECT_NEAR(h->dBc, c.tone[ch].dBc, 0.01);
      // The bar rises to the harmonic's level on the chart's scale, in the channel's colour.
      const TRect chart = d.BarChartRect();
      const TRect bar = d.BarRect(c.tone[ch].order, ch, c.tone[ch].dBc);
      const double expected = chart.Top + -c.tone[ch].dBc / 140.0 * (chart.Height() - 1);
      EXPECT_NEAR(TopRow(image, (bar.Left + bar.Right) / 2, chart, colour), expected, 1.0);
      EXPECT_GT(Count(image, d.SpectrumRect(), colour), 100) << "spectrum trace drawn";
    }
  }
}

// The last 32768 frames are analysed however many blocks came before: blocks of one tone, each
// at its own level, read as the power mean of the last four.
TEST_F(DistortionPageTest, EachAnalysisReadsTheLastFourBlocks) {
  TDistortionDisplay d;
  const double levels[] = {0.5, 0.1, 0.3, 0.05, 0.7, 0.2, 0.4, 0.6, 0.15, 0.25, 0.35, 0.45};
  long t = 0;
  for (int n = 0; n < 12; ++n, t += 8192) {
    const TTone tone[2] = {{levels[n], 0, 0}, {levels[11 - n], 0, 0}};
    Feed(d, Block(t, 8192, tone), true);
    if (n < 3) continue;
    for (int ch = 0; ch < 2; ++ch) {
      double power = 0;
      for (int k = n - 3; k <= n; ++k) power += std::pow(levels[ch ? 11 - k : k], 2) / 4;
      EXPECT_NEAR(d.Result().Channel[ch].RmsdBFS, 10 * std::log10(power), 0.02)
          << "block " << n << ", channel " << ch;
    }
  }
  EXPECT_EQ(d.Analyses(), 9);
}

// Texts put together from their letters or kept whole draw every pixel TextOut draws, on a
// background they must leave as it is beyond their boxes, the second time as the first.
TEST(TextPictures, DrawWhatTextOutDraws) {
  QFont small;
  small.setPixelSize(11);
  QFont large = small;
  large.setBold(true);
  large.setPixelSize(18);
  const QString texts[] = {"996.92 Hz", "-1.01 dBFS", "0.01354 %  -77.37 dB", "-- dBFS",
                           "No signal", "Collecting ...", "fifty fluffy", "1.5 \u00b5s", "77.44 dB",
                           "AVATAR To Wa LT"};
  const struct {
    int x, y;
  } places[] = {{10, 10}, {-7, 3}, {380, 40}, {200, -5}, {30, 95}};
  TTextPictures pictures;
  for (int round = 0; round < 2; ++round)
    for (const QFont& font : {small, large})
      for (const QString& text : texts)
        for (const auto& at : places) {
          QImage want(400, 100, QImage::Format_RGB32), got;
          for (int y = 0; y < want.height(); ++y)
            for (int x = 0; x < want.width(); ++x)
              want.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x ^ y) & 255));
          got = want.copy();
          TCanvas direct(&want), cached(&got);
          for (TCanvas* c : {&direct, &cached}) {
            c->SetFont(font);
            c->SetFontColour(QColor(255, 0, 0));
            c->SetBrushColour(QColor(255, 255, 255));
            c->SetBrushStyle(bsSolid);
          }
          direct.TextOut(at.x, at.y, text);
          pictures.TextOut(cached, at.x, at.y, text);
          int differ = 0;
          for (int y = 0; y < want.height(); ++y)
            for (int x = 0; x < want.width(); ++x) differ += want.pixel(x, y) != got.pixel(x, y);
          EXPECT_EQ(differ, 0) << text.toStdString() << " at " << at.x << ", " << at.y
                               << (font.bold() ? " large" : " small") << " round " << round;
        }
}

TEST_F(DistortionPageTest, AveragingIsAPowerMeanThatASettingsChangeRestarts) {
  TDistortionDisplay d;
  d.SetAveraging(16);
  long t = 0;
  const TTone loud[2] = {{0.5, 2, -60}, {0.5, 2, -60}}, soft[2] = {{0.05, 2, -40}, {0.05, 2, -40}};
  for (int i = 0; i < 4; ++i, t += 8192) Feed(d, Block(t, 8192, loud), true);
  for (int i = 0; i < 4; ++i, t += 8192) Feed(d, Block(t, 8192, soft), true);
  // One reading of the loud tone, three of frames holding both, four of the soft one: the
  // fundamental's level and THD are power means, so the loud reading dominates neither fully.
  const TChannelDistortion& a = d.Result().Channel[0];
  EXPECT_EQ(d.Analyses(), 5);
  EXPECT_GT(a.LeveldBFS, -20 + 1);
  EXPECT_LT(a.LeveldBFS, -6.02 - 1);
  // Choosing A-weighting analyses the held (soft) frames alone.
  TDistortionSettings s = d.Settings();
  s.Weighting = TNoiseWeighting::AWeighted;
  d.SetSettings(s);
  EXPECT_EQ(d.Analyses(), 6);
  EXPECT_NEAR(d.Result().Channel[0].LeveldBFS, -26.02, 0.01);
  EXPECT_NEAR(d.Result().Channel[0].ThddB, -40, 0.01);
  EXPECT_EQ(d.ReadoutLines(0).at(2).left(9), "THD+N (A)");
  // A new source starts collecting afresh.
  d.SetSource(nullptr);
  EXPECT_EQ(d.HeldFrames(), 0);
  EXPECT_EQ(d.ReadoutLines(0), QStringList{"Collecting ..."});
}

TEST_F(DistortionPageTest, TabFeedsTheDisplayAndTheControlsSetIt) {
  TMainForm form;
  ShowForm(form);
  auto* pages = Find<QTabWidget>(form, "PageControlAnalyser");
  auto* d = Find<TDistortionDisplay>(form, "DistortionDisplay1");
  pages->setCurrentWidget(Find<QWidget>(form, "TabSheetDistortion"));
  EXPECT_EQ(pages->currentIndex(), 4);
  EXPECT_EQ(form.Analyser()->Display(), d);
  EXPECT_EQ(form.Analyser()->BufferSamples(), 8192);
  // The tab bar holds every caption whole, without scroll buttons.
  EXPECT_LE(pages->tabBar()->tabRect(pages->count() - 1).right(), pages->width());

  struct TChoice {
    const char* box;
    int index;
    TDistortionKind kind;
    double bandHigh;
    TNoiseWeighting weighting;
    int averaging;
  } const choices[] = {
      {"ComboBoxDistortionKind", 1, TDistortionKind::Smpte, 20000, TNoiseWeighting::Flat, 1},
      {"ComboBoxDistortionKind", 2, TDistortionKind::Ccif, 20000, TNoiseWeighting::Flat, 1},
      {"ComboBoxDistortionBand", 1, TDistortionKind::Ccif, 22000, TNoiseWeighting::Flat, 1},
      {"ComboBoxDistortionWeighting", 1, TDistortionKind::Ccif, 22000, TNoiseWeighting::AWeighted, 1},
      {"ComboBoxDistortionAveraging", 2, TDistortionKind::Ccif, 22000, TNoiseWeighting::AWeighted, 16},
      {"ComboBoxDistortionAveraging", 1, TDistortionKind::Ccif, 22000, TNoiseWeighting::AWeighted, 4},
      {"ComboBoxDistortionKind", 0, TDistortionKind::Sine, 22000, TNoiseWeighting::AWeighted, 4},
  };
  for (const TChoice& c : choices) {
    SCOPED_TRACE(std::string(c.box) + " " + std::to_string(c.index));
    Find<QComboBox>(form, c.box)->setCurrentIndex(c.index);
    EXPECT_EQ(d->Settings().Kind, c.kind);
    EXPECT_EQ(d->Settings().BandLow, 20);
    EXPECT_EQ(d->Settings().BandHigh, c.bandHigh);
    EXPECT_EQ(d->Settings().Weighting, c.weighting);
    EXPECT_EQ(d->Averaging(), c.averaging);
  }
}

TEST_F(DistortionPageTest, SetGeneratorPlaysTheMeasurementsSignalAtMinusOnedBFS) {
  TMainForm form;
  ShowForm(form);
  const TAudioToneGenerator* g = form.ToneGenerator();
  auto* button = Find<QPushButton>(form, "ButtonDistortionGenerator");
  const struct {
    int kind;
    TWaveform waveform;
    float hz;  // the two-tones keep theirs
    const char* hint;
  } cases[] = {
      {1, SmpteTwoTone, 400, "SMPTE: 60 Hz and 7 kHz, 4 : 1, at -1 dBFS"},
      {0, SineWave, 997, "THD+N: 997 Hz sine at -1 dBFS"},
      {2, CcifTwoTone, 997, "CCIF: 19 kHz and 20 kHz, equal, at -1 dBFS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hint);
    Find<QComboBox>(form, "ComboBoxDistortionKind")->setCurrentIndex(c.kind);
    EXPECT_EQ(button->toolTip().toStdString(), c.hint);
    button->click();
    EXPECT_EQ(g->LeftWaveform(), c.waveform);
    EXPECT_EQ(g->RightWaveform(), c.waveform);
    EXPECT_EQ(g->LeftFrequency(), c.hz);
    EXPECT_FLOAT_EQ(g->LeftAmplitude(), std::pow(10.0f, -1 / 20.0f));
    EXPECT_FLOAT_EQ(g->RightAmplitude(), std::pow(10.0f, -1 / 20.0f));
    EXPECT_FALSE(g->Enabled()) << "set, not started";
  }
}

TEST_F(DistortionPageTest, ToneThroughTheSimulatedCardReadsTheCardsLevelsAndHum) {
  Card().SetNoiseRms(0);  // the hum alone, -80 dBFS at 50 Hz, is the noise
  TMainForm form;
  ShowForm(form);
  Find<QTabWidget>(form, "PageControlAnalyser")->setCurrentIndex(4);
  auto* d = Find<TDistortionDisplay>(form, "DistortionDisplay1");
  Find<QPushButton>(form, "ButtonStartGenerator")->click();  // 400 Hz, -20 dB
  Find<QPushButton>(form, "ButtonStartAnalyser")->click();
  // The first blocks may hold the silence before the tone came back.
  ASSERT_TRUE(PumpUntil([&] { return d->Analyses() >= 6; }, 30000));
  const double gain[2] = {0, TSimulatedCard::RightGaindB(400)};
  for (int ch = 0; ch < 2; ++ch) {
    SCOPED_TRACE(ch);
    const TChannelDistortion& r = d->Result().Channel[ch];
    ASSERT_TRUE(r.Valid);
    EXPECT_NEAR(r.Frequency, 400, 0.01);
    EXPECT_NEAR(r.LeveldBFS, -20 + gain[ch], 0.02);
    // The residual is the hum and at most two roundings (output, filtered on the right, and
    // input) of 16-bit steps in the band.
    const double rounding = 20 * std::log10(std::sqrt(2 / 12.0) / 32767) + 3.01 +
                            10 * std::log10(19980 / 22050.0);
    const double residual = 10 * std::log10(1e-8 + std::pow(10, rounding / 10));
    EXPECT_GE(r.ThdndB, -80 - r.LeveldBFS - 0.05);
    EXPECT_LE(r.ThdndB, residual - r.LeveldBFS + 0.01);
    // Noise leaves out the harmonics' bins and stands their neighbours in for them, which
    // moves the hum's reading by a few tenths of a dB.
    EXPECT_NEAR(r.NoisedBFS, residual, 0.5);
    EXPECT_NEAR(r.SnrdB, r.LeveldBFS - r.NoisedBFS, 0.01);
  }
}

}  // namespace
