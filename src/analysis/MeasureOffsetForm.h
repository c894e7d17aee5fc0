// The DC-offset dialog: records 3.6 s of the (silent) input with its own capture stream,
// discarding the first block, and averages each channel, truncating toward zero. It shows the
// running figures while it measures. One instance lives as long as the main window.
//
// Threads: GUI thread only; MeasureOffsets runs a nested event loop through which the capture
// stream's blocks arrive. Units: sample values in 16-bit LSB, frames at 44100 Hz.
#pragma once

#include <QDialog>

#include <cstdint>

#include "WaveTypes.h"

class QEventLoop;
class QLabel;
class QProgressBar;
class TWaveIn;

class TFormMeasureOffset : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kBlockFrames = 13230;  // 0.3 s
  static constexpr int kBlocks = 12;

  explicit TFormMeasureOffset(QWidget* parent = nullptr);
  ~TFormMeasureOffset() override;

  // Shows the dialog and measures. True with the two averages once all 12 blocks are in; false
  // when the input could not start or the dialog was closed before the measurement ended.
  bool MeasureOffsets(int& left, int& right);

  bool Running() const { return FRunning; }
  TWaveIn* WaveIn() const { return FWaveIn; }

  // Handlers.
  void FormShow();
  void WaveInData(wavehdr_tag& Header);
  void FormCloseQuery();
  void FormHide();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Finish();

  TWaveIn* FWaveIn;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* LabelSamples;
  QLabel* LabelLeftOffset;
  QLabel* LabelRightOffset;
  QProgressBar* ProgressBar1;
  QEventLoop* FLoop = nullptr;
  bool FRunning = false;
  bool FSkipFirst = true;
  bool FComplete = false;
  int32_t FBlockCount = 0;
  // 64-bit so that no input, however far off centre, can overflow the sum.
  int64_t FLeftSum = 0, FRightSum = 0;
  int32_t FLeftAverage = 0, FRightAverage = 0;
};
