// The analyser: a capture stream that removes the sound card's DC offset from every full block,
// measures the channel levels for a level meter, fires OnData and hands the block to one display.
//
// Threads: GUI thread only; blocks arrive through the stream's notifier. Units: offsets and
// samples in 16-bit LSB, levels as mean squares relative to full scale (a full-scale sine is
// 0.5, a full-scale square 1.0), meter readings in dB, timing totals in PerfCounter ticks.
#pragma once

#include <QPointer>

#include <cstdint>

#include "Displays.h"
#include "WaveCommon.h"

// Every sample any display sees lies within +-kAnalysedSampleLimit.
constexpr int kAnalysedSampleLimit = 32760;

// In place over frames interleaved frames: subtracts the offsets and limits every sample to
// +-kAnalysedSampleLimit (also with both offsets 0).
void RemoveOffsets(int16_t* samples, int frames, int leftOffset, int rightOffset);

struct TChannelLevels {
  float Left = 0;
  float Right = 0;
};

// Mean square of a block of frames > 0 relative to 32767^2, accumulated in single precision from
// 1e-8 (so silence gives 1e-8 / (frames 32767^2), not zero).
TChannelLevels MeanSquareLevels(const int16_t* samples, int frames);
// Level of a sine with the block's peak: (peak / 32767)^2 / 2, the peak taken as at least 1.
TChannelLevels PeakLevels(const int16_t* samples, int frames);
// One step of the meter's 3:1 smoothing: (3 previous + level) / 4.
TChannelLevels SmoothLevels(TChannelLevels previous, TChannelLevels level);

class TBasicAudioAnalyser : public TWaveIn {
  Q_OBJECT
 public:
  explicit TBasicAudioAnalyser(QObject* AOwner = nullptr);
  ~TBasicAudioAnalyser() override;

  // The display that receives every full block. Setting it stops capture, points the display's
  // Source here (which may change BufferSamples) and restarts capture if it was running; may
  // raise EWaveInError from the restart. Becomes null when the display is destroyed.
  TAudioDisplay* Display() const { return FDisplay.data(); }
  void SetDisplay(TAudioDisplay* Value);
  int LeftOffset() const { return FLeftOffset; }
  void SetLeftOffset(int Value) { FLeftOffset = Value; }
  TLevelMeter* LevelMeter() const { return FLevelMeter.data(); }
  void SetLevelMeter(TLevelMeter* Value) { FLevelMeter = Value; }
  // Levels from the block's peak instead of its mean square.
  bool PeakLevel() const { return FPeakLevel; }
  void SetPeakLevel(bool Value) { FPeakLevel = Value; }
  int RightOffset() const { return FRightOffset; }
  void SetRightOffset(int Value) { FRightOffset = Value; }

  // Restarts the display's averaging, then opens or closes the device.
  void SetEnabled(bool Value) override;

 protected:
  // Drops the level meter to its MindB.
  void HandleClose() override;
  void HandleData() override;

 private:
  QPointer<TAudioDisplay> FDisplay;
  QPointer<TLevelMeter> FLevelMeter;
  int FLeftOffset = 0;
  int FRightOffset = 0;
  bool FPeakLevel = false;
  TChannelLevels FPrevious{1e-8f, 1e-8f};  // smoothed levels of the last measured block
};
