#include "ToneGenerator.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numbers>

namespace {

constexpr int kBins = kToneBlockFrames / 2 + 1;  // DC .. Nyquist
constexpr int kTransformFloats = kToneBlockFrames + 2;

uint32_t UtcMillisecondOfDay() {
  using namespace std::chrono;
  constexpr int64_t day = 24 * 60 * 60 * 1000;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>((ms % day + day) % day);
}

uint32_t gNoiseSeed = 0;
TReseedClock gReseedClock = &UtcMillisecondOfDay;

inline uint32_t Advance(uint32_t& seed) {
  seed = seed * 134775813u + 1u;
  return seed;
}

// Ties to even. Saturates at +-32767 rather than wrapping, so that a clipped peak stays a
// peak and an inverted channel is always the exact negation.
inline int16_t ToSample(double value) {
  if (value > 32767.0)
    value = 32767.0;
  else if (value < -32767.0)
    value = -32767.0;
  return static_cast<int16_t>(std::lrint(value));
}

uint32_t PhaseIncrement(float frequency) {
  // Negative results wrap modulo 2^32, which keeps them right modulo 2^30.
  return static_cast<uint32_t>(
      std::llrint(static_cast<long double>(frequency) * 1073741824.0L / kSampleRate));
}

struct TSineTable {
  float v[kSineTableSize];
  TSineTable() {
    constexpr int quarter = kSineTableSize / 4;
    v[0] = 0;
    v[quarter] = 32767;
    v[2 * quarter] = 0;
    v[3 * quarter] = -32767;
    for (int k = 1; k < quarter; ++k) {
      const float s = static_cast<float>(
          std::sin(k * 2.0L * std::numbers::pi_v<long double> / kSineTableSize) * 32767.0L);
      v[k] = s;
      v[2 * quarter - k] = s;
      v[2 * quarter + k] = -s;
      v[kSineTableSize - k] = -s;
    }
  }
};

struct TPinkTable {
  SCplx v[kBins];
  TPinkTable() {
    // Bin 0's imaginary part never reaches the inverse transform, so (1, 1) is unit gain.
    v[0] = {1.0f, 1.0f};
    for (int k = 1; k < kBins; ++k)
      v[k] = {static_cast<float>(std::sqrt(1.0L / k) * 32767.0L / 4096.0L), 0.0f};
  }
};

// Reseeds and fills the transform's samples with white noise of full-scale amplitude.
void FillWhiteTransform(float* transform) {
  uint32_t seed = gReseedClock();
  for (int k = 0; k < kToneBlockFrames; ++k) {
    const double u = Advance(seed) * 0x1p-32;
    transform[k] = static_cast<float>(u * 65535.0 - 32767.0);
  }
  transform[kToneBlockFrames] = 0;
  transform[kToneBlockFrames + 1] = 0;
  gNoiseSeed = seed;
}

void WriteTransform(const float* transform, int16_t* samples, int channel, float amplitude) {
  const double a = amplitude;
  int16_t* out = samples + channel;
  for (int k = 0; k < kToneBlockFrames; ++k) out[2 * k] = ToSample(a * transform[k]);
}

void Silence(int16_t* samples, int frames, int channel) {
  int16_t* out = samples + channel;
  for (int k = 0; k < frames; ++k) out[2 * k] = 0;
}

// Truncates toward zero into 0..23; also keeps huge or NaN settings away from the cast.
int BandIndex(float frequency) {
  if (!(frequency > 0.0f)) return 0;
  if (frequency >= kThirdOctaveBands - 1) return kThirdOctaveBands - 1;
  return static_cast<int>(frequency);
}

}  // namespace

// ---- unit-level kernels -------------------------------------------------------

TBinRange ThirdOctaveBandBins(int Band) {
  const int band = std::clamp(Band, 0, kThirdOctaveBands - 1);
  const int octave = (kThirdOctaveBands - 1 - band) / 3;
  const int step = (kThirdOctaveBands - 1 - band) % 3;
  // Products and quotients by powers of two are exact, so only the rounding decides.
  const double scale = static_cast<double>(kToneBlockFrames) / static_cast<double>(2 << octave);
  return {static_cast<int>(std::lrint(scale * BandEdgeFractions[step + 1])),
          static_cast<int>(std::lrint(scale * BandEdgeFractions[step]))};
}

const float* SineTable() {
  static const TSineTable table;
  return table.v;
}

const SCplx* PinkFilter() {
  static const TPinkTable table;
  return table.v;
}

uint32_t NoiseSeed() { return gNoiseSeed; }

void SetNoiseSeed(uint32_t Seed) { gNoiseSeed = Seed; }

void SetReseedClock(TReseedClock Clock) { gReseedClock = Clock ? Clock : &UtcMillisecondOfDay; }

// ---- TBasicAudioGenerator ------------------------------------------------------

void TBasicAudioGenerator::TFree::operator()(float* p) const { std::free(p); }

TBasicAudioGenerator::TBasicAudioGenerator(QObject* AOwner) : TWaveOut(AOwner) {
  FPostSilence = SampleRate() / 10;
  FPreSilence = 2 * FPostSilence;
  FFastSweepSamples = 13 * FPostSilence;
  SetBufferSamples(kToneBlockFrames);
  SetOnNeedData([this](PWaveHdr Header) { FillBlock(Header); });
  // Tables, transform buffer and plans are made now so that no block fill allocates.
  SineTable();
  PinkFilter();
  for (TNoiseSlices& noise : FNoise) noise.Block.assign(2 * kToneBlockFrames, 0);
  constexpr size_t bytes = (kTransformFloats * sizeof(float) + 63) / 64 * 64;
  FTransform.reset(static_cast<float*>(std::aligned_alloc(64, bytes)));
  if (!FTransform) throw std::bad_alloc();
  std::memset(FTransform.get(), 0, bytes);
  nspsPrepareFft(kToneFftOrder);
}

TBasicAudioGenerator::~TBasicAudioGenerator() {
  try {
    SetEnabled(false);
  } catch (...) {
    // closing reports nothing; a destructor could not pass it on anyway
  }
}

void TBasicAudioGenerator::SetLeftAmplitude(float Value) {
  if (Value != FLeftAmplitude) FLeftAmplitude = Value;
}

void TBasicAudioGenerator::SetRightAmplitude(float Value) {
  if (Value != FRightAmplitude) FRightAmplitude = Value;
}

void TBasicAudioGenerator::SetLeftFrequency(float Value) {
  if (Value != FLeftFrequency) FLeftFrequency = Value;
}

void TBasicAudioGenerator::SetRightFrequency(float Value) {
  if (Value != FRightFrequency) FRightFrequency = Value;
}

namespace {
int BlockFramesFor(TWaveform waveform, int fastSweepSamples, int toneBlockFrames) {
  return waveform == FastSmooth || waveform == FastStepped ? fastSweepSamples : toneBlockFrames;
}
}  // namespace

void TBasicAudioGenerator::SetToneBlockFrames(int Frames) {
  if (Frames < 256 || Frames > kToneBlockFrames || Frames == FToneBlockFrames) return;
  FToneBlockFrames = Frames;
  SetBufferSamples(BlockFramesFor(FLeftWaveform, FFastSweepSamples, FToneBlockFrames));
}

void TBasicAudioGenerator::SetLeftWaveform(TWaveform Value) {
  if (Value == FLeftWaveform) return;
  FLeftWaveform = Value;
  const int before = BufferSamples();
  SetBufferSamples(BlockFramesFor(Value, FFastSweepSamples, FToneBlockFrames));
  // Both channels must agree on the block length.
  if (BufferSamples() != before) SetRightWaveform(Value);
}

void TBasicAudioGenerator::SetRightWaveform(TWaveform Value) {
  if (Value == FRightWaveform) return;
  FRightWaveform = Value;
  const int before = BufferSamples();
  SetBufferSamples(BlockFramesFor(Value, FFastSweepSamples, FToneBlockFrames));
  if (BufferSamples() != before) SetLeftWaveform(Value);
}

float TBasicAudioGenerator::LastFrequencyPlayed() const {
  return std::bit_cast<float>(LastPlayedValue());
}

void TBasicAudioGenerator::FillBlock(PWaveHdr Header) {
  Header->dwUser = 0;
  if (!Header->lpData) return;
  const int frames = static_cast<int>(Header->dwBufferLength / kBlockAlign);
  auto* samples = reinterpret_cast<int16_t*>(Header->lpData);

  const bool twoTone = FLeftWaveform == SmpteTwoTone || FLeftWaveform == CcifTwoTone;
  const bool same = FLeftWaveform == FRightWaveform &&
                    (twoTone || FLeftFrequency == FRightFrequency);
  const bool copy = same && FLeftAmplitude == FRightAmplitude;
  const bool invert = same && FLeftAmplitude == -FRightAmplitude;

  uint32_t user = 0;
  SynthesizeChannel(samples, frames, 0, FLeftWaveform, FLeftPhase, FLeftExact, FLeftFrequency,
                    FLeftAmplitude, user);
  if (copy) {
    for (int k = 0; k < frames; ++k) samples[2 * k + 1] = samples[2 * k];
  } else if (invert) {
    for (int k = 0; k < frames; ++k)
      samples[2 * k + 1] = static_cast<int16_t>(static_cast<uint16_t>(-samples[2 * k]));
  } else {
    SynthesizeChannel(samples, frames, 1, FRightWaveform, FRightPhase, FRightExact,
                      FRightFrequency, FRightAmplitude, user);
  }
  Header->dwUser = user;

  if (FAssociatedInput) FAssociatedInput->Start();
}

void TBasicAudioGenerator::SynthesizeChannel(int16_t* Samples, int Frames, int Channel,
                                             TWaveform Waveform, uint32_t& Phase,
                                             TExactPhases& Exact, float Frequency,
                                             float Amplitude, uint32_t& User) {
  switch (Waveform) {
    case SineWave:
      if (!FExactSine) break;
      {
        // The 30-bit phase is the one both modes share: when a table block or a reset has
        // moved it, the exact phase starts again from it.
        const uint32_t phase = Phase & kPhaseMask;
        if (Exact.Sine >> 34 != phase) Exact.Sine = uint64_t{phase} << 34;
        SynthesizeExactSine(Samples, Frames, Channel, Exact.Sine, Frequency, Amplitude);
        Phase = static_cast<uint32_t>(Exact.Sine >> 34);
      }
      User = std::bit_cast<uint32_t>(Frequency);
      return;
    case SmpteTwoTone:
      SynthesizeTwoTone(kSmpteTwoTone, Samples, Frames, Channel, Exact.TwoTone, Amplitude);
      return;
    case CcifTwoTone:
      SynthesizeTwoTone(kCcifTwoTone, Samples, Frames, Channel, Exact.TwoTone, Amplitude);
      return;
    default:
      break;
  }
  switch (Waveform) {
    case SineWave:
    case Triangle:
      SynthesizeTone(Waveform, Samples, Frames, Channel, Phase, Frequency, Amplitude);
      User = std::bit_cast<uint32_t>(Frequency);
      return;
    case WhiteNoise:
      SynthesizeWhiteNoise(Samples, Frames, Channel, Amplitude);
      return;
    case PinkNoise:
    case Octave3Noise:
      if (Frames != kToneBlockFrames) {
        SliceNoise(Samples, Frames, Channel, Waveform, Frequency, Amplitude);
      } else if (Waveform == PinkNoise) {
        SynthesizePinkNoise(FTransform.get(), Samples, Channel, Amplitude);
      } else {
        SynthesizeBandNoise(FTransform.get(), Samples, Channel, BandIndex(Frequency), Amplitude);
      }
      return;
    default:
      break;
  }
  // Whatever this block held before must not play again.
  Silence(Samples, Frames, Channel);
}

void TBasicAudioGenerator::SliceNoise(int16_t* Samples, int Frames, int Channel,
                                      TWaveform Waveform, float Frequency, float Amplitude) {
  TNoiseSlices& noise = FNoise[Channel];
  const int band = Waveform == Octave3Noise ? BandIndex(Frequency) : -1;
  if (noise.Waveform != Waveform || noise.Band != band || noise.Amplitude != Amplitude)
    noise.Next = kToneBlockFrames;  // what was made for other settings does not play
  noise.Waveform = Waveform;
  noise.Band = band;
  noise.Amplitude = Amplitude;
  for (int done = 0; done < Frames;) {
    if (noise.Next >= kToneBlockFrames) {
      if (Waveform == PinkNoise)
        SynthesizePinkNoise(FTransform.get(), noise.Block.data(), Channel, Amplitude);
      else
        SynthesizeBandNoise(FTransform.get(), noise.Block.data(), Channel, band, Amplitude);
      noise.Next = 0;
    }
    const int n = std::min(Frames - done, kToneBlockFrames - noise.Next);
    for (int k = 0; k < n; ++k)
      Samples[2 * (done + k) + Channel] = noise.Block[2 * (noise.Next + k) + Channel];
    done += n;
    noise.Next += n;
  }
}

void TBasicAudioGenerator::SynthesizeTone(TWaveform Waveform, int16_t* Samples, int Frames,
                                          int Channel, uint32_t& Phase, float Frequency,
                                          float Amplitude) {
  if (Waveform != SineWave && Waveform != Triangle) return;
  const uint32_t increment = PhaseIncrement(Frequency);
  // The product of two singles is exact in double, so only the final rounding rounds.
  const double amplitude = Amplitude;
  uint32_t phase = Phase & kPhaseMask;
  int16_t* out = Samples + Channel;
  if (Waveform == SineWave) {
    const float* table = SineTable();
    for (int k = 0; k < Frames; ++k) {
      out[2 * k] = ToSample(amplitude * table[phase >> 15]);
      phase = (phase + increment) & kPhaseMask;
    }
  } else {
    for (int k = 0; k < Frames; ++k) {
      float f = static_cast<float>(phase >> 15) / 32768.0f;
      if (f > 0.5f) f = 1.0f - f;
      const float value = (f - 0.25f) * 131068.0f;
      out[2 * k] = ToSample(amplitude * value);
      phase = (phase + increment) & kPhaseMask;
    }
  }
  Phase = phase;
}

void TBasicAudioGenerator::SynthesizeWhiteNoise(int16_t* Samples, int Frames, int Channel,
                                                float Amplitude) {
  const double amplitude = Amplitude;
  uint32_t seed = gNoiseSeed;
  int16_t* out = Samples + Channel;
  for (int k = 0; k < Frames; ++k) {
    const auto r = static_cast<int32_t>((static_cast<uint64_t>(Advance(seed)) * 65535u) >> 32);
    out[2 * k] = ToSample(amplitude * (r - 32767));
  }
  gNoiseSeed = seed;
}

void TBasicAudioGenerator::SynthesizePinkNoise(float* Transform, int16_t* Samples, int Channel,
                                               float Amplitude) {
  FillWhiteTransform(Transform);
  nspsRealFft(Transform, kToneFftOrder, NSP_Forw);
  // The Nyquist bin is filtered too: left white it would stand some 20 dB above its
  // neighbours.
  nspcbMpy2(PinkFilter(), reinterpret_cast<SCplx*>(Transform), kBins);
  nspsCcsFft(Transform, kToneFftOrder, NSP_Inv);
  WriteTransform(Transform, Samples, Channel, Amplitude);
}

void TBasicAudioGenerator::SynthesizeBandNoise(float* Transform, int16_t* Samples, int Channel,
                                               int Band, float Amplitude) {
  const TBinRange bins = ThirdOctaveBandBins(Band);
  FillWhiteTransform(Transform);
  nspsRealFft(Transform, kToneFftOrder, NSP_Forw);
  std::fill(Transform, Transform + 2 * bins.Lower, 0.0f);
  std::fill(Transform + 2 * (bins.Upper + 1), Transform + kTransformFloats, 0.0f);
  nspsCcsFft(Transform, kToneFftOrder, NSP_Inv);
  WriteTransform(Transform, Samples, Channel, Amplitude);
}

uint64_t TBasicAudioGenerator::ExactIncrement(double Frequency) {
  double cycles = Frequency / kSampleRate;
  cycles -= std::floor(cycles);  // negative frequencies run backwards, modulo one cycle
  if (!(cycles >= 0.0 && cycles < 1.0)) return 0;  // NaN, infinities
  // Below 1, times 2^64 stays below 2^64: the conversion is exact and in range.
  return static_cast<uint64_t>(std::ldexp(cycles, 64));
}

namespace {
// Phase in 2^-64 cycles to radians in -pi .. pi; the signed view keeps the argument small,
// where sin is most accurate.
inline double Radians(uint64_t phase) {
  return static_cast<double>(static_cast<int64_t>(phase)) * (2.0 * std::numbers::pi * 0x1p-64);
}
}  // namespace

void TBasicAudioGenerator::SynthesizeExactSine(int16_t* Samples, int Frames, int Channel,
                                               uint64_t& Phase, float Frequency,
                                               float Amplitude) {
  const uint64_t increment = ExactIncrement(Frequency);
  // A single times 32767 is exact in double.
  const double scale = static_cast<double>(Amplitude) * 32767.0;
  uint64_t phase = Phase;
  int16_t* out = Samples + Channel;
  for (int k = 0; k < Frames; ++k) {
    out[2 * k] = ToSample(scale * std::sin(Radians(phase)));
    phase += increment;
  }
  Phase = phase;
}

void TBasicAudioGenerator::SynthesizeTwoTone(const TTwoTone& Tones, int16_t* Samples,
                                             int Frames, int Channel, uint64_t (&Phases)[2],
                                             float Amplitude) {
  const uint64_t increment1 = ExactIncrement(Tones.F1);
  const uint64_t increment2 = ExactIncrement(Tones.F2);
  const double amplitude = Amplitude;
  uint64_t phase1 = Phases[0], phase2 = Phases[1];
  int16_t* out = Samples + Channel;
  for (int k = 0; k < Frames; ++k) {
    const double value = amplitude * (Tones.Level1 * std::sin(Radians(phase1)) +
                                      Tones.Level2 * std::sin(Radians(phase2)));
    out[2 * k] = ToSample(32767.0 * value);
    phase1 += increment1;
    phase2 += increment2;
  }
  Phases[0] = phase1;
  Phases[1] = phase2;
}

// ---- TAudioToneGenerator -------------------------------------------------------

TAudioToneGenerator::TAudioToneGenerator(QObject* AOwner) : TBasicAudioGenerator(AOwner) {}

namespace {
bool ToneWaveform(TWaveform w) {
  return (w >= SineWave && w <= Octave3Noise) || w == SmpteTwoTone || w == CcifTwoTone;
}
}  // namespace

void TAudioToneGenerator::SetLeftWaveform(TWaveform Value) {
  if (ToneWaveform(Value)) TBasicAudioGenerator::SetLeftWaveform(Value);
}

void TAudioToneGenerator::SetRightWaveform(TWaveform Value) {
  if (ToneWaveform(Value)) TBasicAudioGenerator::SetRightWaveform(Value);
}

bool TAudioToneGenerator::WaveformHasFrequency(TWaveform Waveform) {
  return Waveform == SineWave || Waveform == Triangle || Waveform == Octave3Noise;
}
