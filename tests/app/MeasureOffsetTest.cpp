// The DC-offset dialog on the accelerated simulated card, alone and through the main window.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cstring>
#include <vector>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "MainForm.h"
#include "MeasureOffsetForm.h"
#include "WaveCommon.h"

namespace {

class MeasureOffsetTest : public AppTest {
 protected:
  // Keeps a copy of every block the dialog's stream delivers, then lets the dialog have it.
  void RecordBlocks(TFormMeasureOffset& dialog) {
    TWaveIn* in = dialog.WaveIn();
    THaveDataEvent handler = in->OnData();
    in->SetOnData([this, handler](wavehdr_tag& h) {
      const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
      blocks.emplace_back(s, s + h.dwBytesRecorded / 2);
      handler(h);
    });
  }
  // Closes the dialog once it has counted `after` blocks.
  void CloseAfter(TFormMeasureOffset& dialog, int after) {
    auto* progress = dialog.findChild<QProgressBar*>("ProgressBar1");
    QObject::connect(progress, &QProgressBar::valueChanged, &dialog, [&dialog, after](int value) {
      if (value == after) dialog.close();
    });
  }
  QString Text(const QObject& dialog, const char* name) {
    return dialog.findChild<QLabel*>(name)->text();
  }

  std::vector<std::vector<int16_t>> blocks;
};

TEST_F(MeasureOffsetTest, SilentInputGivesTheCardsOffsets) {
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  TFormMeasureOffset dialog;
  int left = 99, right = 99;
  ASSERT_TRUE(dialog.MeasureOffsets(left, right));
  EXPECT_EQ(left, -3);
  EXPECT_EQ(right, 2);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(dialog.WaveIn()->Enabled());
  EXPECT_EQ(Text(dialog, "LabelSamples"), "158760");
  EXPECT_EQ(Text(dialog, "LabelLeftOffset"), "-3");
  EXPECT_EQ(Text(dialog, "LabelRightOffset"), "2");
  EXPECT_EQ(dialog.findChild<QProgressBar*>("ProgressBar1")->value(), 12);
  EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(MeasureOffsetTest, AveragesTwelveBlocksAfterTheFirstTruncatingTowardZero) {
  TFormMeasureOffset dialog;
  RecordBlocks(dialog);
  int left = 0, right = 0;
  ASSERT_TRUE(dialog.MeasureOffsets(left, right));
  ASSERT_EQ(blocks.size(), 13u) << "the first block is discarded, then twelve are summed";
  int64_t sumL = 0, sumR = 0;
  for (size_t b = 1; b < blocks.size(); ++b) {
    ASSERT_EQ(blocks[b].size(), 2u * 13230);
    for (size_t i = 0; i < blocks[b].size(); i += 2) {
      sumL += blocks[b][i];
      sumR += blocks[b][i + 1];
    }
  }
  EXPECT_EQ(left, static_cast<int>(sumL / 158760));
  EXPECT_EQ(right, static_cast<int>(sumR / 158760));
  // Hum and noise average out to near the card's offsets; truncation keeps what is between.
  EXPECT_TRUE(left == -3 || left == -2) << left;
  EXPECT_TRUE(right == 2 || right == 1) << right;
  EXPECT_EQ(Text(dialog, "LabelSamples"), "158760");
  EXPECT_EQ(Text(dialog, "LabelLeftOffset"), QString::number(left));

  // Every showing measures afresh.
  blocks.clear();
  int again = 0, againRight = 0;
  ASSERT_TRUE(dialog.MeasureOffsets(again, againRight));
  EXPECT_EQ(blocks.size(), 13u);
  EXPECT_EQ(Text(dialog, "LabelSamples"), "158760");
}

TEST_F(MeasureOffsetTest, ClosingEarlyOrARefusedInputReportsNothing) {
  TFormMeasureOffset dialog;
  CloseAfter(dialog, 3);
  int left = 77, right = 77;
  EXPECT_FALSE(dialog.MeasureOffsets(left, right));
  EXPECT_EQ(std::pair(left, right), std::pair(77, 77));
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(dialog.WaveIn()->Enabled());
  EXPECT_EQ(Text(dialog, "LabelSamples"), "39690");
  EXPECT_TRUE(recorder.messages.empty());

  Card().RefuseNextInputOpen(4, "Input busy");
  EXPECT_FALSE(dialog.MeasureOffsets(left, right));
  EXPECT_EQ(recorder.messages,
            std::vector<std::string>{"Another device is using the sound input - please try later"});
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(std::pair(left, right), std::pair(77, 77));
}

TEST_F(MeasureOffsetTest, DialogLayout) {
  TFormMeasureOffset dialog;
  EXPECT_EQ(dialog.windowTitle(), "Measuring ADC offset");
  for (auto [name, text] : {std::pair{"Label1", "Samples: "}, {"Label2", "Left: "},
                            {"Label3", "Right: "}}) {
    auto* label = dialog.findChild<QLabel*>(name);
    EXPECT_EQ(label->text(), text);
    EXPECT_TRUE(label->alignment() & Qt::AlignRight);
    EXPECT_EQ(label->geometry().right(), 117) << "right-aligned captions end together";
  }
  EXPECT_EQ(dialog.findChild<QLabel*>("Label1")->y(), 16);
  EXPECT_EQ(dialog.findChild<QLabel*>("Label3")->y(), 64);
  for (auto [name, top] : {std::pair{"LabelSamples", 16}, {"LabelLeftOffset", 40},
                           {"LabelRightOffset", 64}}) {
    EXPECT_EQ(dialog.findChild<QLabel*>(name)->pos(), QPoint(120, top));
    EXPECT_EQ(Text(dialog, name), "0");
  }
  auto* progress = dialog.findChild<QProgressBar*>("ProgressBar1");
  EXPECT_EQ(progress->geometry(), QRect(16, 96, 193, 17));
  EXPECT_EQ(progress->maximum(), 12);
}

// ---- through the main window -------------------------------------------------------------------

TEST_F(MeasureOffsetTest, StartUpQuestionMeasuresAndStoresTheOffsets) {
  recorder.answer = true;
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  TMainForm form;
  form.Analyser()->SetEnabled(true);
  form.show();
  ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }, 20000));
  EXPECT_EQ(recorder.questions.size(), 1u);
  EXPECT_FALSE(form.Analyser()->Enabled()) << "measuring stops the analyser for good";
  EXPECT_TRUE(form.ADCMeasured());
  EXPECT_EQ(form.Analyser()->LeftOffset(), -3);
  EXPECT_EQ(form.Analyser()->RightOffset(), 2);
  EXPECT_EQ(form.findChild<QPushButton*>("ButtonMeasureOffset")->toolTip(), "Left: -3,  Right: 2");
  EXPECT_EQ(StoredKeys(), (QStringList{"Quorvane/ADCLeftOffset", "Quorvane/ADCMeasured",
                                       "Quorvane/ADCRightOffset"}))
      << "written at once, before closing";
  EXPECT_EQ(Stored("ADCLeftOffset").toInt(), -3);
  EXPECT_EQ(Stored("ADCRightOffset").toInt(), 2);
  EXPECT_EQ(Stored("ADCMeasured").toString(), "true");
}

TEST_F(MeasureOffsetTest, MeasureButtonAsksAndAnEarlyCloseChangesNothing) {
  Store({{"ADCMeasured", true}, {"ADCLeftOffset", 5}, {"ADCRightOffset", -6}});
  TMainForm form;
  form.show();
  ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
  auto* button = form.findChild<QPushButton*>("ButtonMeasureOffset");

  button->click();  // answered No
  ASSERT_EQ(recorder.questions.size(), 1u);
  EXPECT_EQ(recorder.questions[0],
            "Do you wish to measure the ADC offset in the Sound Card?\rPlease click on Yes to "
            "continue or No to stop");
  EXPECT_EQ(recorder.questionTitles, std::vector<std::string>{"Measure sound card A/D offset"});
  EXPECT_FALSE(form.FormMeasureOffset()->isVisible());

  recorder.answer = true;
  CloseAfter(*form.FormMeasureOffset(), 5);
  button->click();
  EXPECT_EQ(form.Analyser()->LeftOffset(), 5);
  EXPECT_EQ(form.Analyser()->RightOffset(), -6);
  EXPECT_EQ(button->toolTip(), "Left: 5,  Right: -6");
  EXPECT_EQ(Stored("ADCLeftOffset").toInt(), 5);
  EXPECT_EQ(Stored("ADCRightOffset").toInt(), -6);

  Card().RefuseNextInputOpen(4, "Input busy");
  button->click();
  EXPECT_EQ(recorder.messages.back(), "Another device is using the sound input - please try later");
  EXPECT_EQ(form.Analyser()->LeftOffset(), 5);
  EXPECT_EQ(Stored("ADCLeftOffset").toInt(), 5);
}

TEST_F(MeasureOffsetTest, MeasureButtonYesMeasuresTheCardsOffsets) {
  Store({{"ADCMeasured", true}, {"ADCLeftOffset", 5}, {"ADCRightOffset", -6}});
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  TMainForm form;
  form.show();
  ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
  auto* button = form.findChild<QPushButton*>("ButtonMeasureOffset");
  recorder.answer = true;
  button->click();
  EXPECT_EQ(std::pair(form.Analyser()->LeftOffset(), form.Analyser()->RightOffset()),
            std::pair(-3, 2));
  EXPECT_EQ(button->toolTip(), "Left: -3,  Right: 2");
  EXPECT_EQ(std::pair(Stored("ADCLeftOffset").toInt(), Stored("ADCRightOffset").toInt()),
            std::pair(-3, 2));
}

}  // namespace
