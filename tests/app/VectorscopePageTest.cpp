// The "Vectorscope" page: the scope as the analyser's display, its AGC box and setting, and a
// tone through the simulated card drawn where it belongs.
#include <QCheckBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>

#include <optional>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "DisplaySpectrum.h"
#include "Displays.h"
#include "MainForm.h"
#include "ToneGenerator.h"

namespace {

class VectorscopePageTest : public AppTest {
 protected:
  void ShowForm(TMainForm& form) {
    Store({{"ADCMeasured", true}});
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
  }
  template <typename T>
  T* Find(const TMainForm& form, const char* name) {
    T* child = form.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
};

TEST_F(VectorscopePageTest, PageFeedsTheScopeAndAGCFollowsTheBoxAndTheStore) {
  for (std::optional<bool> stored : {std::optional<bool>(), std::optional(false),
                                     std::optional(true)}) {
    const char* name = !stored ? "no key" : *stored ? "stored on" : "stored off";
    if (stored) Store({{"VectorScopeAGC", *stored}});
    TMainForm form;
    ShowForm(form);
    auto* scope = Find<TVectorScope>(form, "VectorScope1");
    auto* box = Find<QCheckBox>(form, "CheckBoxAGC");
    const bool expected = stored.value_or(true);
    EXPECT_EQ(box->isChecked(), expected) << name;
    EXPECT_EQ(scope->AGC(), expected) << name;
    EXPECT_EQ(form.Analyser()->Display(), Find<TSpectrumDisplay>(form, "SpectrumDisplay1"))
        << "the spectrum page is in front";

    Find<QTabWidget>(form, "PageControlAnalyser")->tabBar()->setCurrentIndex(0);
    EXPECT_EQ(form.Analyser()->Display(), scope) << name;
    EXPECT_EQ(scope->Source(), form.Analyser());
    EXPECT_EQ(form.Analyser()->BufferSamples(), 4410);

    box->click();
    EXPECT_EQ(scope->AGC(), !expected) << name;
    form.close();
    EXPECT_EQ(Stored("VectorScopeAGC").toBool(), !expected) << name;
  }
}

TEST_F(VectorscopePageTest, LeftOnlySineThroughTheCardDrawsTheLeftChannelDiagonal) {
  TMainForm form;
  ShowForm(form);
  TAudioToneGenerator* tone = form.ToneGenerator();
  tone->SetLeftFrequency(1000);
  tone->SetLeftAmplitude(0.5f);
  tone->SetRightAmplitude(0);
  auto* scope = Find<TVectorScope>(form, "VectorScope1");
  Find<QTabWidget>(form, "PageControlAnalyser")->tabBar()->setCurrentIndex(0);
  Find<QPushButton>(form, "ButtonStartAnalyser")->click();
  Find<QPushButton>(form, "ButtonStartGenerator")->click();
  ASSERT_TRUE(form.ToneGenerator()->Enabled());
  ASSERT_TRUE(PumpUntil([&] { return form.Analyser()->BufferNumber() > 12; }, 20000));
  Find<QPushButton>(form, "ButtonStartGenerator")->click();
  Find<QPushButton>(form, "ButtonStartAnalyser")->click();
  EXPECT_TRUE(recorder.messages.empty());

  // Half scale: the gain settles at 2 to 2.2, so the diagonal reaches about 80 pixels out from
  // the centre (163, 159) of the 327 x 319 plot; the right input's offset, hum and noise move
  // it by less than a pixel.
  const QImage image = scope->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int lit = 0, off = 0, lowest = 0, highest = 0;
  for (int y = 1; y <= 319; ++y)
    for (int x = 1; x <= 327; ++x) {
      if (image.pixel(x, y) != qRgb(255, 255, 192)) continue;
      ++lit;
      const int dx = x - 163, dy = y - 159;
      if (std::abs(dx - dy) > 1) ++off;
      lowest = std::min(lowest, dx);
      highest = std::max(highest, dx);
    }
  EXPECT_GT(lit, 100);
  EXPECT_EQ(off, 0) << "trace pixels away from the left-channel diagonal";
  EXPECT_LT(lowest, -60);
  EXPECT_GT(highest, 60);
  EXPECT_GE(scope->Gain(), 1.9f);
}

}  // namespace
