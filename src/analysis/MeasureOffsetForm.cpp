#include "MeasureOffsetForm.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>

#include "Messages.h"
#include "WaveCommon.h"

namespace {

// A right-aligned caption keeps its right edge where the layout puts it, whatever the font.
QLabel* RightAligned(QWidget* parent, const char* name, const QString& text, int left, int top) {
  constexpr int kRight = 118;
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  const int width = std::max(kRight - left, label->sizeHint().width());
  label->setGeometry(kRight - width, top, width, 16);
  return label;
}

QLabel* Figure(QWidget* parent, const char* name, int top) {
  auto* label = new QLabel("0", parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setGeometry(120, top, 96, 16);
  return label;
}

}  // namespace

TFormMeasureOffset::TFormMeasureOffset(QWidget* parent) : QDialog(parent) {
  setObjectName("FormMeasureOffset");
  setWindowTitle("Measuring ADC offset");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  // Nothing else may use the input, or close the window that waits, while it measures.
  setWindowModality(Qt::ApplicationModal);
  setFixedSize(226, 125);
  Label1 = RightAligned(this, "Label1", "Samples: ", 59, 16);
  Label2 = RightAligned(this, "Label2", "Left: ", 81, 40);
  Label3 = RightAligned(this, "Label3", "Right: ", 74, 64);
  LabelSamples = Figure(this, "LabelSamples", 16);
  LabelLeftOffset = Figure(this, "LabelLeftOffset", 40);
  LabelRightOffset = Figure(this, "LabelRightOffset", 64);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(16, 96, 193, 17);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setRange(0, kBlocks);
  ProgressBar1->setValue(0);

  FWaveIn = new TWaveIn(this);
  FWaveIn->SetAutoStart(true);
  FWaveIn->SetBufferSamples(kBlockFrames);
  FWaveIn->SetOnData([this](wavehdr_tag& Header) { WaveInData(Header); });
}

TFormMeasureOffset::~TFormMeasureOffset() {
  FWaveIn->SetEnabled(false);
  if (FLoop) FLoop->quit();
}

void TFormMeasureOffset::FormShow() {
  FBlockCount = 0;
  FLeftSum = FRightSum = 0;
  FLeftAverage = FRightAverage = 0;
  FSkipFirst = true;
  FComplete = false;
  ProgressBar1->setValue(0);
  LabelSamples->setText("0");
  LabelLeftOffset->setText("0");
  LabelRightOffset->setText("0");
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  try {
    FWaveIn->SetEnabled(true);
    FRunning = true;
  } catch (const std::exception&) {
    ShowMessage("Another device is using the sound input - please try later");
  }
}

void TFormMeasureOffset::WaveInData(wavehdr_tag& Header) {
  if (!FRunning) return;
  if (FSkipFirst) {
    // The first block after opening may still carry the converter's settling.
    FSkipFirst = false;
    return;
  }
  ++FBlockCount;
  const int frames = static_cast<int>(Header.dwBufferLength / kBlockAlign);
  const int64_t count = static_cast<int64_t>(FBlockCount) * frames;
  if (frames == kBlockFrames) {
    ProgressBar1->setValue(FBlockCount);
    LabelSamples->setText(QString::number(count));
    const auto* samples = reinterpret_cast<const int16_t*>(Header.lpData);
    for (int i = 0; i < frames; ++i) {
      FLeftSum += samples[2 * i];
      FRightSum += samples[2 * i + 1];
    }
    LabelLeftOffset->setText(QString::number(FLeftSum / count));
    LabelRightOffset->setText(QString::number(FRightSum / count));
  }
  if (FBlockCount >= kBlocks && count > 0) {
    FWaveIn->SetEnabled(false);
    FLeftAverage = static_cast<int32_t>(FLeftSum / count);
    FRightAverage = static_cast<int32_t>(FRightSum / count);
    FComplete = true;
    Finish();
  }
}

void TFormMeasureOffset::Finish() {
  FRunning = false;
  if (FLoop) FLoop->quit();
}

void TFormMeasureOffset::FormCloseQuery() { FWaveIn->SetEnabled(false); }

void TFormMeasureOffset::FormHide() {
  FWaveIn->SetEnabled(false);
  Finish();
}

void TFormMeasureOffset::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TFormMeasureOffset::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (!event->spontaneous()) FormHide();
}

void TFormMeasureOffset::closeEvent(QCloseEvent* event) {
  FormCloseQuery();
  event->accept();
}

bool TFormMeasureOffset::MeasureOffsets(int& left, int& right) {
  show();
  if (!FRunning) {
    hide();
    return false;
  }
  QEventLoop loop;
  FLoop = &loop;
  if (FRunning) loop.exec();
  FLoop = nullptr;
  hide();
  // Closed early: the sums are not averages of a full measurement, so nothing is reported.
  if (!FComplete) return false;
  left = FLeftAverage;
  right = FRightAverage;
  return true;
}
