#include "SweepGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr int kMinFadeFrames = kSampleRate / 300;
// Longer than any block, and still safe to add to a frame index.
constexpr int kMaxFadeFrames = 1 << 30;

void SilenceFrames(int16_t* samples, int channel, int first, int last) {
  for (int k = first; k < last; ++k) samples[2 * k + channel] = 0;
}

// Per-step factor (log) or increment (linear) that reaches End after Intervals steps. The
// linear increment aims 0.0001 Hz beyond End so that single-precision sums falling short
// still reach it.
float SweepStep(bool log, float start, float end, int intervals) {
  if (intervals <= 0) return log ? 1.0f : 0.0f;  // a single step plays the start frequency
  if (log) return static_cast<float>(std::exp(std::log(static_cast<double>(end) / start) / intervals));
  return static_cast<float>((static_cast<double>(end) + 0.0001 - start) / intervals);
}

int StepsFor(int seconds, int stepFrames) {
  return static_cast<int>(static_cast<int64_t>(seconds) * kSampleRate / stepFrames);
}

}  // namespace

TSweepLayout SweepLayout(int Frames, int Steps) {
  TSweepLayout l{};
  if (Steps < 1 || Frames < 0) {
    l.LastFrame = -1;
    return l;
  }
  l.LeadInSegments = Steps / 5;
  l.TailSegments = Steps / 10;
  const int segments = l.LeadInSegments + Steps + l.TailSegments;
  l.SegmentFrames = Frames / segments;
  l.FirstFrame = l.LeadInSegments * l.SegmentFrames;
  l.LastFrame = l.FirstFrame + Steps * l.SegmentFrames - 1;
  l.WrittenFrames = segments * l.SegmentFrames;
  return l;
}

TSlowBlock SlowBlockKind(int64_t block, int active, int silent, int& step, int64_t& cycle) {
  step = 0;
  cycle = 0;
  if (active <= 0 || block < kSlowLeadInBlocks) return TSlowBlock::Silent;
  if (block == kSlowLeadInBlocks) return TSlowBlock::Marker;
  const int64_t length = static_cast<int64_t>(active) + std::max(silent, 0);
  cycle = (block - kSlowLeadInBlocks - 1) / length;
  const int64_t t = (block - kSlowLeadInBlocks - 1) % length;
  if (t < active) {
    step = static_cast<int>(t);
    return TSlowBlock::Step;
  }
  return t == length - 1 ? TSlowBlock::Marker : TSlowBlock::Silent;
}

int DeclickFrames(float Frequency) {
  const double n = std::nearbyint(7.0 * kSampleRate / (4.0 * Frequency));
  // 0 Hz (or NaN) has no finite length: fade over the whole tone.
  if (std::isnan(n) || n >= kMaxFadeFrames) return kMaxFadeFrames;
  if (n <= kMinFadeFrames) return kMinFadeFrames;
  return static_cast<int>(n);
}

// ---- TAudioSweepGenerator ---------------------------------------------------------

TAudioSweepGenerator::TAudioSweepGenerator(QObject* AOwner) : TBasicAudioGenerator(AOwner) {
  SetBufferSamples(FastSweepSamples());
  SetOnNeedData([this](PWaveHdr Header) { FillSweepBlock(Header); });
  FSlowSweepSamples = SampleRate() / 4;
  FLeftLog = FRightLog = true;
  FLeftDeclick = FRightDeclick = true;
  FSlowSweepActiveSeconds = 45;
  FSlowSweepSilentSeconds = 3;
  FSlowSweepActiveSteps = StepsFor(FSlowSweepActiveSeconds, FSlowSweepSamples);
  FSlowSweepSilentSteps = StepsFor(FSlowSweepSilentSeconds, FSlowSweepSamples);
}

void TAudioSweepGenerator::SetEnabled(bool Value) {
  const bool changed = Value != Enabled();
  TBasicAudioGenerator::SetEnabled(Value);
  if (changed) FRunBlocks = 0;
  if (changed && Value) ++FRunNumber;
}

void TAudioSweepGenerator::SetLeftFrequency(float Value) {
  if (Value == FLeftFrequency) return;
  FLeftFrequency = Value;
  SetLeftMaxFrequency(2 * Value);
}

void TAudioSweepGenerator::SetRightFrequency(float Value) {
  if (Value == FRightFrequency) return;
  FRightFrequency = Value;
  SetRightMaxFrequency(2 * Value);
}

void TAudioSweepGenerator::SetLeftMaxFrequency(float Value) {
  if (Value != FLeftMaxFrequency) FLeftMaxFrequency = Value;
}

void TAudioSweepGenerator::SetRightMaxFrequency(float Value) {
  if (Value != FRightMaxFrequency) FRightMaxFrequency = Value;
}

void TAudioSweepGenerator::SetSlowSweep(bool Value) {
  if (Value == FSlowSweep) return;
  SetEnabled(false);
  FSlowSweep = Value;
  SetBufferSamples(Value ? FSlowSweepSamples : FastSweepSamples());
}

void TAudioSweepGenerator::SetSlowSweepActiveSeconds(int Value) {
  if (Value == FSlowSweepActiveSeconds) return;
  const bool wasEnabled = Enabled();
  SetEnabled(false);
  FSlowSweepActiveSeconds = Value;
  FSlowSweepActiveSteps = StepsFor(Value, FSlowSweepSamples);
  if (wasEnabled) SetEnabled(true);
}

void TAudioSweepGenerator::SetSlowSweepSilentSeconds(int Value) {
  if (Value == FSlowSweepSilentSeconds) return;
  const bool wasEnabled = Enabled();
  SetEnabled(false);
  FSlowSweepSilentSeconds = Value;
  FSlowSweepSilentSteps = StepsFor(Value, FSlowSweepSamples);
  if (wasEnabled) SetEnabled(true);
}

void TAudioSweepGenerator::AssignSettings(const TAudioSweepGenerator& Source) {
  SetSlowSweep(Source.FSlowSweep);
  SetSlowSweepActiveSeconds(Source.FSlowSweepActiveSeconds);
  SetSlowSweepSilentSeconds(Source.FSlowSweepSilentSeconds);
  FLeftFrequency = Source.FLeftFrequency;
  FRightFrequency = Source.FRightFrequency;
  FLeftMaxFrequency = Source.FLeftMaxFrequency;
  FRightMaxFrequency = Source.FRightMaxFrequency;
  FLeftAmplitude = Source.FLeftAmplitude;
  FRightAmplitude = Source.FRightAmplitude;
  FLeftWaveform = Source.FLeftWaveform;
  FRightWaveform = Source.FRightWaveform;
  FLeftLog = Source.FLeftLog;
  FRightLog = Source.FRightLog;
  FLeftStepped = Source.FLeftStepped;
  FRightStepped = Source.FRightStepped;
  FLeftDeclick = Source.FLeftDeclick;
  FRightDeclick = Source.FRightDeclick;
}

void TAudioSweepGenerator::BeginSlowCycle() {
  FLeftCurrent = FLeftFrequency;
  FRightCurrent = FRightFrequency;
  const int intervals = FSlowSweepActiveSteps - 1;
  FLeftStep = SweepStep(FLeftLog, FLeftFrequency, FLeftMaxFrequency, intervals);
  FRightStep = SweepStep(FRightLog, FRightFrequency, FRightMaxFrequency, intervals);
  FLeftPhase = 0;
  FRightPhase = 0;
}

void TAudioSweepGenerator::FillSweepBlock(PWaveHdr Header) {
  Header->dwUser = 0;
  if (!Header->lpData) return;
  const int frames = static_cast<int>(Header->dwBufferLength / kBlockAlign);
  auto* samples = reinterpret_cast<int16_t*>(Header->lpData);

  if (FSlowSweep) {
    int step = 0;
    int64_t cycle = 0;
    const TSlowBlock kind =
        SlowBlockKind(FRunBlocks++, FSlowSweepActiveSteps, FSlowSweepSilentSteps, step, cycle);
    if (kind != TSlowBlock::Step) {
      std::memset(Header->lpData, 0, Header->dwBufferLength);
      if (kind == TSlowBlock::Marker) {
        FillMarkerChannel(samples, frames, 0, FLeftAmplitude);
        FillMarkerChannel(samples, frames, 1, FRightAmplitude);
      }
      // Capture starts with the run, lead-in and all; a run of no steps has nothing to capture.
      if (TWaveIn* input = AssociatedInput(); input && FSlowSweepActiveSteps > 0) input->Start();
      return;
    }
    if (step == 0) BeginSlowCycle();
  }

  // The right channel may reuse the left only if every setting that shapes the sweep agrees;
  // the flags count too, or a right channel set apart by them alone would play the left's sweep.
  const bool alike = FLeftWaveform == FRightWaveform && FLeftFrequency == FRightFrequency &&
                     FLeftMaxFrequency == FRightMaxFrequency && FLeftLog == FRightLog &&
                     (FSlowSweep || (FLeftStepped == FRightStepped && FLeftDeclick == FRightDeclick));
  const bool copy = alike && FLeftAmplitude == FRightAmplitude;
  const bool invert = alike && FLeftAmplitude == -FRightAmplitude;

  if (FSlowSweep)
    SynthesizeTone(SineWave, samples, frames, 0, FLeftPhase, FLeftCurrent, FLeftAmplitude);
  else
    FillSweepChannel(samples, frames, 0, FLeftStepped ? kSteppedSweepSteps : kSmoothSweepSteps,
                     FLeftDeclick, FLeftLog, FLeftFrequency, FLeftMaxFrequency, FLeftAmplitude,
                     FLeftPhase);
  if (copy) {
    for (int k = 0; k < frames; ++k) samples[2 * k + 1] = samples[2 * k];
  } else if (invert) {
    for (int k = 0; k < frames; ++k)
      samples[2 * k + 1] = static_cast<int16_t>(static_cast<uint16_t>(-samples[2 * k]));
  } else if (FSlowSweep) {
    SynthesizeTone(SineWave, samples, frames, 1, FRightPhase, FRightCurrent, FRightAmplitude);
  } else {
    FillSweepChannel(samples, frames, 1, FRightStepped ? kSteppedSweepSteps : kSmoothSweepSteps,
                     FRightDeclick, FRightLog, FRightFrequency, FRightMaxFrequency,
                     FRightAmplitude, FRightPhase);
  }

  if (FSlowSweep) {
    FLeftCurrent = FLeftLog ? FLeftCurrent * FLeftStep : FLeftCurrent + FLeftStep;
    FRightCurrent = FRightLog ? FRightCurrent * FRightStep : FRightCurrent + FRightStep;
  }

  if (TWaveIn* input = AssociatedInput()) input->Start();
}

void TAudioSweepGenerator::FillSweepChannel(int16_t* Samples, int Frames, int Channel, int Steps,
                                            bool Declick, bool Log, float StartFrequency,
                                            float EndFrequency, float Amplitude,
                                            uint32_t& Phase) {
  if (Steps < 1) {
    // No segments to lay out: a sweep of nothing is silence, not a division by zero.
    SilenceFrames(Samples, Channel, 0, Frames);
    return;
  }
  const TSweepLayout l = SweepLayout(Frames, Steps);
  const float step = SweepStep(Log, StartFrequency, EndFrequency, Steps - 1);
  SilenceFrames(Samples, Channel, 0, l.FirstFrame);
  float f = StartFrequency;
  for (int s = 0; s < Steps; ++s) {
    SynthesizeTone(SineWave, Samples + 2 * (l.FirstFrame + s * l.SegmentFrames), l.SegmentFrames,
                   Channel, Phase, f, Amplitude);
    f = Log ? f * step : f + step;
  }
  SilenceFrames(Samples, Channel, l.LastFrame + 1, l.WrittenFrames);
  if (Declick) DeclickChannel(Samples, Frames, Channel, l.FirstFrame, l.LastFrame, StartFrequency, EndFrequency);
}

void TAudioSweepGenerator::FillMarkerChannel(int16_t* Samples, int Frames, int Channel, float Amplitude) {
  const int n = std::min(Frames, kMarkerFrames);
  if (n <= 0) return;
  // Phase of a chirp whose frequency grows by a constant factor: 2 pi f0 T / ln(f1 / f0) times
  // (e^(t ln(f1 / f0) / T) - 1), T the marker's length.
  const double rate = std::log(static_cast<double>(kMarkerEndHz) / kMarkerStartHz);
  const double length = static_cast<double>(kMarkerFrames) / kSampleRate;
  const double k = 2 * std::numbers::pi * kMarkerStartHz * length / rate;
  const double peak = 32767.0 * std::clamp(static_cast<double>(Amplitude), -1.0, 1.0);
  constexpr int fade = kMarkerFrames / 32;  // raised-cosine ends: no click at either end
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    double gain = 1;
    if (const int edge = std::min(i, kMarkerFrames - 1 - i); edge < fade)
      gain = (1 - std::cos(std::numbers::pi * edge / fade)) / 2;
    Samples[2 * i + Channel] =
        static_cast<int16_t>(std::lrint(peak * gain * std::sin(k * (std::exp(t * rate / length) - 1))));
  }
}

void TAudioSweepGenerator::DeclickChannel(int16_t* Samples, int Frames, int Channel, int FirstFrame,
                                          int LastFrame, float StartFrequency, float EndFrequency) {
  if (FirstFrame == 0 || LastFrame == 0) return;
  if (FirstFrame < 0 || LastFrame < FirstFrame || LastFrame >= Frames) return;
  // A fade longer than the tone (a start or end below about 2.7 Hz in a fast sweep) would
  // reach past the tone, out of the block: it spans the tone instead.
  const int tone = LastFrame - FirstFrame + 1;
  int16_t* out = Samples + Channel;
  auto fade = [&](int frame, int i, int n) {
    const double gain = (std::cos(i * std::numbers::pi / n) + 1.0) / 2.0;
    out[2 * frame] = static_cast<int16_t>(std::lrint(out[2 * frame] * gain));
  };
  const int fadeOut = std::min(DeclickFrames(EndFrequency), tone);
  for (int i = 1; i <= fadeOut; ++i) fade(LastFrame - fadeOut + i, i, fadeOut);
  const int fadeIn = std::min(DeclickFrames(StartFrequency), tone);
  for (int i = 1; i <= fadeIn; ++i) fade(FirstFrame + fadeIn - i, i, fadeIn);
}
