#include "AudioAnalyser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "AudioDevice.h"

void RemoveOffsets(int16_t* samples, int frames, int leftOffset, int rightOffset) {
  // Any offset beyond +-65536 gives the same clamped result; limiting it keeps int arithmetic.
  const int left = std::clamp(leftOffset, -65536, 65536);
  const int right = std::clamp(rightOffset, -65536, 65536);
  for (int i = 0; i < frames; ++i) {
    samples[2 * i] =
        static_cast<int16_t>(std::clamp(samples[2 * i] - left, -kAnalysedSampleLimit, kAnalysedSampleLimit));
    samples[2 * i + 1] = static_cast<int16_t>(
        std::clamp(samples[2 * i + 1] - right, -kAnalysedSampleLimit, kAnalysedSampleLimit));
  }
}

namespace {

// A sum of squares rounded to single precision after every addition, as one double addition per
// square. The sum s is held as M + s with M = 1.5 * 2^(52 + k), where 2^k is the float spacing of
// s's binade: a double of that size has spacing 2^k, so M + s + q rounds exactly as the float sum
// would (M / 2^k is even, so ties go to even alike). When a sum reaches the next binade, the step
// is redone through a plain conversion and M is rebased; that happens a few dozen times a block.
class TSingleSquareSum {
 public:
  void Add(int32_t square) {
    const double t = FBiased + square;
    if (t < FLimit)
      FBiased = t;
    else
      Rebase(square);
  }
  float Value() const { return FStarted ? static_cast<float>(FBiased - FBias) : 1e-8f; }

 private:
  void Rebase(int32_t square) {
    float s;
    if (!FStarted) {
      if (square == 0) return;  // the sum stays at its starting 1e-8
      // Exact in double before the one rounding: at a float tie the 1e-8 tips it upwards.
      s = static_cast<float>(static_cast<double>(1e-8f) + square);
      FStarted = true;
    } else {
      s = static_cast<float>((FBiased - FBias) + square);  // integers below 2^53: exact
    }
    int e;
    std::frexp(s, &e);  // 2^(e-1) <= s < 2^e
    const int k = std::max(0, e - 24);
    FBias = std::ldexp(1.5, 52 + k);
    FBiased = FBias + s;
    FLimit = FBias + (k == 0 ? 0x1p24 : std::ldexp(1.0, e));
  }

  double FBiased = 0;
  double FBias = 0;
  double FLimit = -std::numeric_limits<double>::infinity();  // all to Rebase until a square > 0
  bool FStarted = false;
};

}  // namespace

TChannelLevels MeanSquareLevels(const int16_t* samples, int frames) {
  TSingleSquareSum left, right;
  for (int i = 0; i < frames; ++i) {
    const int32_t l = samples[2 * i], r = samples[2 * i + 1];
    left.Add(l * l);
    right.Add(r * r);
  }
  const long double fullScale = static_cast<long double>(frames) * 32767.0L * 32767.0L;
  return {static_cast<float>(left.Value() / fullScale), static_cast<float>(right.Value() / fullScale)};
}

TChannelLevels PeakLevels(const int16_t* samples, int frames) {
  int peakLeft = 1, peakRight = 1;
  for (int i = 0; i < frames; ++i) {
    peakLeft = std::max(peakLeft, std::abs(static_cast<int>(samples[2 * i])));
    peakRight = std::max(peakRight, std::abs(static_cast<int>(samples[2 * i + 1])));
  }
  auto level = [](int peak) {
    const long double ratio = peak / 32767.0L;
    return static_cast<float>(ratio * ratio * 0.5L);
  };
  return {level(peakLeft), level(peakRight)};
}

TChannelLevels SmoothLevels(TChannelLevels previous, TChannelLevels level) {
  return {static_cast<float>((3.0L * previous.Left + level.Left) / 4),
          static_cast<float>((3.0L * previous.Right + level.Right) / 4)};
}

TBasicAudioAnalyser::TBasicAudioAnalyser(QObject* AOwner) : TWaveIn(AOwner) {}

TBasicAudioAnalyser::~TBasicAudioAnalyser() {
  // The base destructor would close through the base handlers only; close here, silently, while
  // this class is still whole.
  FDisplay = nullptr;
  FLevelMeter = nullptr;
  FEnabled = false;
  try {
    SetOnClose(nullptr);  // closes an open device before the handler could fire
  } catch (...) {
  }
}

void TBasicAudioAnalyser::SetDisplay(TAudioDisplay* Value) {
  const bool wasEnabled = Enabled();
  SetEnabled(false);
  FDisplay = Value;
  if (Value) Value->SetSource(this);
  SetEnabled(wasEnabled);
}

void TBasicAudioAnalyser::SetEnabled(bool Value) {
  if (FDisplay) FDisplay->SetAveragingCount(0);
  TWaveIn::SetEnabled(Value);
}

void TBasicAudioAnalyser::HandleClose() {
  if (TLevelMeter* meter = FLevelMeter) {
    meter->SetLeftdB(static_cast<float>(meter->MindB()));
    meter->SetRightdB(static_cast<float>(meter->MindB()));
  }
  TWaveIn::HandleClose();
}

void TBasicAudioAnalyser::HandleData() {
  if (State() != Running) return;
  PWaveHdr header = CurrentHeader();
  if (!header) return;
  const int frames = static_cast<int>(header->dwBytesRecorded / kBlockAlign);
  if (frames != BufferSamples()) {
    // Not analysed and not counted. A device block goes back so that capture goes on; a
    // replayed one never does.
    RequeueCurrent();
    return;
  }

  bool continueFlag = true;
  bool counted = false;
  try {
    auto* samples = reinterpret_cast<int16_t*>(header->lpData);
    RemoveOffsets(samples, frames, FLeftOffset, FRightOffset);

    if (TLevelMeter* meter = FLevelMeter) {
      const TChannelLevels level =
          FPeakLevel ? PeakLevels(samples, frames) : MeanSquareLevels(samples, frames);
      const TChannelLevels smoothed = BufferNumber() != 0 ? SmoothLevels(FPrevious, level) : level;
      meter->BeginUpdate();
      meter->SetLeftdB(PowerTodB(smoothed.Left));
      meter->SetRightdB(PowerTodB(smoothed.Right));
      meter->EndUpdate();
      FPrevious = smoothed;
    }

    // Handlers get a copy, so whatever they change, the device's header stays intact.
    wavehdr_tag copy = *header;
    if (OnData()) OnData()(copy);

    if (BufferNumber() == 0) {
      ProcTicks = 0;
      PlotTicks = 0;
    }
    const int64_t t0 = PerfCounter();
    const double plotted = PlotTicks;
    if (TAudioDisplay* display = FDisplay)
      display->ProcessSamples(reinterpret_cast<const int16_t*>(copy.lpData),
                              static_cast<int>(copy.dwBytesRecorded / kBlockAlign), continueFlag);
    const int64_t t1 = PerfCounter();
    // A display draws its new block at once; that counts as plotting, not processing.
    ProcTicks += static_cast<double>(t1 - t0) - (PlotTicks - plotted);
    SetBufferNumber(BufferNumber() + 1);
    counted = true;
  } catch (...) {
    // The block still goes back: otherwise two failures would starve the device for good.
    if (!counted) SetBufferNumber(BufferNumber() + 1);
    RequeueCurrent();
    throw;
  }

  if (continueFlag)
    RequeueCurrent();
  else
    SetEnabled(false);
}
