// Calibration files through the window: "Load calibration ..." with a dialog stand-in, the
// spectrum and impulse readings less the file's dB at each frequency (the curve worked out here
// from the file's points, not by the program's interpolation), the status line and its hint, a
// refused file, the choice kept for the next start and lost when its file is, and "No calibration".
#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QFile>
#include <QLabel>

#include <cmath>
#include <numbers>
#include <vector>

#include "AppTestSupport.h"
#include "Calibration.h"
#include "DisplaySpectrum.h"
#include "ImpulsePage.h"
#include "MainForm.h"

namespace {

// The file below, by hand: -3 dB at 20 Hz to 0 dB at 1 kHz, 6 dB a decade to 10 kHz, then flat.
double FiledB(double hz) {
  if (hz <= 20) return -3;
  if (hz <= 1000) return -3 + 3 * std::log(hz / 20) / std::log(50.0);
  return hz <= 10000 ? 6 * std::log10(hz / 1000) : 6;
}

class CalibrationMenuTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});
  }
  QString Write(const QString& name, const QByteArray& text) {
    QFile file(folder.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    return file.fileName();
  }
  // One block of a chirp-like mix of sines into the spectrum display, averaging off.
  static void Feed(TSpectrumDisplay* d) {
    d->SetMovingAverage(false);
    std::vector<int16_t> block(2 * static_cast<std::size_t>(d->N()));
    for (int j = 0; j < d->N(); ++j)
      for (int k : {3, 40, 200, 900})
        block[2 * j] = block[2 * j + 1] = static_cast<int16_t>(
            block[2 * j] + std::lrint(3000 * std::sin(2 * std::numbers::pi * k * j / d->N())));
    bool go = true;
    d->ProcessSamples(block.data(), d->N(), go);
  }
};

TEST_F(CalibrationMenuTest, LoadedFileComesOffTheReadingsAndIsKept) {
  const QString good = Write("mic123.txt", "\"Sens Factor =-1.2dB, SERNO: 123\"\r\n20\t-3\r\n1000\t0\r\n10000\t6\r\n");
  const QString bad = Write("bad.cal", "* falls\n10 0\n5 1\n");
  std::vector<float> plain;
  {
    TMainForm form;
    ShowForm(form);
    auto* load = Find<QAction>(&form, "LoadCalibration1");
    auto* none = Find<QAction>(&form, "NoCalibration1");
    auto* status = Find<QLabel>(&form, "LabelBackend");
    auto* d = Find<TSpectrumDisplay>(form, "SpectrumDisplay1");
    EXPECT_FALSE(none->isEnabled());
    EXPECT_EQ(form.Calibration(), nullptr);

    dialogs.answer = good;
    load->trigger();
    ASSERT_EQ(dialogs.opens.size(), 1u);
    EXPECT_EQ(dialogs.opens[0].Title, "Load calibration");
    EXPECT_EQ(dialogs.opens[0].Filter,
              "Calibration files (*.txt *.cal *.frd)|*.txt;*.cal;*.frd|All files (*.*)|*.*");
    ASSERT_NE(form.Calibration(), nullptr) << recorder.Log();
    EXPECT_TRUE(none->isEnabled());
    EXPECT_TRUE(status->text().endsWith(QString::fromUtf8("\u00B7 Cal: mic123.txt"))) << status->text().toStdString();
    EXPECT_TRUE(status->toolTip().endsWith("\nCalibration: " + good + " (subtracted from the readings)\n"
                                          "Sensitivity: Sens Factor =-1.2dB, SERNO: 123 (-1.20 dB)"))
        << status->toolTip().toStdString();
    EXPECT_EQ(Stored("CalibrationFile").toString(), good);

    // Bars, a log trace and a linear trace: each band, column or row less the file at its frequency.
    for (int mode : {0, 1, 2}) {
      SCOPED_TRACE(mode);
      auto* box = Find<QComboBox>(form, "ComboBoxSpectrumMode");
      box->setCurrentIndex(mode);
      emit box->activated(mode);
      form.NoCalibration1Click();
      Feed(d);
      plain = d->Levels();
      load->trigger();
      const std::vector<float> calibrated = d->Levels();
      ASSERT_EQ(calibrated.size(), plain.size());
      ASSERT_GE(plain.size(), 28u);
      for (std::size_t i = 1; i < plain.size(); ++i)
        ASSERT_NEAR(plain[i] - calibrated[i], FiledB(d->PositionFrequency(static_cast<int>(i))), 2e-4) << i;
    }

    // A refused file: one message with the parser's sentence; the calibration in use stays.
    recorder.messages.clear();
    dialogs.answer = bad;
    load->trigger();
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"Could not load the calibration file \"" +
                                                          bad.toStdString() +
                                                          "\": line 3: the frequency 5 Hz is not above 10 Hz on "
                                                          "line 2 (frequencies must increase)."});
    ASSERT_NE(form.Calibration(), nullptr);
    EXPECT_EQ(form.Calibration()->FileName, good.toStdString());
    EXPECT_EQ(Stored("CalibrationFile").toString(), good);
    form.close();
  }

  recorder.messages.clear();
  {  // Kept: the next start applies it.
    TMainForm form;
    ShowForm(form);
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
    ASSERT_NE(form.Calibration(), nullptr);
    EXPECT_EQ(form.Calibration()->FileName, good.toStdString());
    EXPECT_TRUE(Find<QAction>(&form, "NoCalibration1")->isEnabled());
    EXPECT_TRUE(Find<QLabel>(&form, "LabelBackend")->text().endsWith("Cal: mic123.txt"));

    Find<QAction>(&form, "NoCalibration1")->trigger();
    EXPECT_EQ(form.Calibration(), nullptr);
    EXPECT_FALSE(Find<QAction>(&form, "NoCalibration1")->isEnabled());
    EXPECT_FALSE(Find<QLabel>(&form, "LabelBackend")->text().contains("Cal:"));
    EXPECT_FALSE(Stored("CalibrationFile").isValid());
    form.close();
  }

  // A kept file that is gone: one message, no calibration, the choice forgotten.
  recorder.messages.clear();
  Store({{"CalibrationFile", good}});
  ASSERT_TRUE(QFile::remove(good));
  {
    TMainForm form;
    ShowForm(form);
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"The calibration file \"" + good.toStdString() +
                                                          "\" kept from the last session cannot be used: the file "
                                                          "does not exist. The readings are shown without "
                                                          "calibration."});
    EXPECT_EQ(form.Calibration(), nullptr);
    form.close();
  }
  EXPECT_FALSE(Stored("CalibrationFile").isValid());
}

// The impulse page's curves of each input: magnitude less the file's dB, phase less its degrees
// (read here from the file's points), harmonics re the fundamental less the difference between
// the two frequencies' dB.
TEST_F(CalibrationMenuTest, ImpulseCurvesLessTheFile) {
  const QString file = Write("loop.frd", "20 -3 10\n1000 0 -20\n10000 6 40\n");
  const auto fileDeg = [](double hz) {
    return hz <= 1000 ? 10 - 30 * std::log(hz / 20) / std::log(50.0) : -20 + 60 * std::log10(hz / 1000);
  };
  TMainForm form;
  ShowForm(form);
  Find<QTabWidget>(form, "PageControlAnalyser")->setCurrentWidget(Find<QWidget>(form, "TabSheetImpulse"));
  Find<QSpinBox>(form, "SpinEditImpulseLength")->setValue(2);
  Find<QPushButton>(form, "ButtonImpulseMeasure")->click();
  ASSERT_TRUE(PumpUntil([&] { return !form.ImpulseRunning(); }, 60000));
  TImpulseDisplay& d = *Find<TImpulseDisplay>(form, "ImpulseDisplay1");
  ASSERT_TRUE(d.HasResult()) << recorder.Log();
  const double hz[] = {40, 500, 1000, 3000, 8000};
  double before[2][5][3];
  for (int ch = 0; ch < 2; ++ch)
    for (int i = 0; i < 5; ++i) {
      before[ch][i][0] = d.CurveValue(TImpulseView::Magnitude, ch, hz[i]);
      before[ch][i][1] = d.CurveValue(TImpulseView::Phase, ch, hz[i]);
      before[ch][i][2] = d.CurveValue(TImpulseView::Distortion, ch, hz[i], 2);
    }
  dialogs.answer = file;
  Find<QAction>(&form, "LoadCalibration1")->trigger();
  ASSERT_NE(form.Calibration(), nullptr) << recorder.Log();
  for (int ch = 0; ch < 2; ++ch)
    for (int i = 0; i < 5; ++i) {
      SCOPED_TRACE(testing::Message() << ch << ", " << hz[i] << " Hz");
      EXPECT_NEAR(before[ch][i][0] - d.CurveValue(TImpulseView::Magnitude, ch, hz[i]), FiledB(hz[i]), 1e-9);
      const double turned = before[ch][i][1] - d.CurveValue(TImpulseView::Phase, ch, hz[i]);
      EXPECT_NEAR(std::remainder(turned - fileDeg(hz[i]), 360.0), 0, 1e-9);
      if (std::isfinite(before[ch][i][2]))
        EXPECT_NEAR(before[ch][i][2] - d.CurveValue(TImpulseView::Distortion, ch, hz[i], 2),
                    FiledB(2 * hz[i]) - FiledB(hz[i]), 1e-9);
    }
}

}  // namespace
