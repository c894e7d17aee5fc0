// Two-channel tone and noise generator on a playback stream: each block is filled, per
// channel, with a sine, a triangle, white noise, pink noise, third-octave band noise or one
// of the two-tone signals of intermodulation measurements.
// TAudioToneGenerator is the steady-tone component; the sweep generator derives from
// TBasicAudioGenerator and reuses SynthesizeTone, the sine table and the phases.
//
// Threads: GUI thread only (block fills run inside the stream's notifications); the noise
// sequence is one process-wide state and is not synchronised. The tables, the band edges
// and SynthesizeTone touch nothing shared and may be called from any thread.
// Units: frequencies in Hz (a band index 0..23 for Octave3Noise), amplitudes linear with
// 1.0 = full scale (+-32767), lengths in frames at 44100 Hz, phases in 2^-30 cycles (the
// exact sine's and the two-tones' accumulators in 2^-64 cycles).
#pragma once

#include <QPointer>

#include <array>
#include <vector>
#include <cstdint>
#include <memory>

#include "NSP.h"
#include "WaveCommon.h"

enum TWaveform : int {
  SineWave = 0,
  Triangle = 1,
  WhiteNoise = 2,
  PinkNoise = 3,
  Octave3Noise = 4,
  FastSmooth = 5,
  FastStepped = 6,
  SlowSweep = 7,
  SmpteTwoTone = 8,  // 60 Hz and 7000 Hz, 4:1
  CcifTwoTone = 9,   // 19000 Hz and 20000 Hz, 1:1
};

// The two-tone signals: a channel of amplitude A plays A * (Level1 sin(2 pi F1 t) +
// Level2 sin(2 pi F2 t)), so A is the composite's peak.
struct TTwoTone {
  double F1, Level1, F2, Level2;  // Hz, fractions of the channel amplitude
};
inline constexpr TTwoTone kSmpteTwoTone = {60.0, 0.8, 7000.0, 0.2};
inline constexpr TTwoTone kCcifTwoTone = {19000.0, 0.5, 20000.0, 0.5};

// Block length of tones and noise; pink and band noise need exactly this many frames.
constexpr int kToneBlockFrames = 16384;
constexpr int kToneFftOrder = 14;
constexpr int kSineTableSize = 32768;
// Phase accumulators keep 30 bits: one cycle is 2^30.
constexpr uint32_t kPhaseMask = (1u << 30) - 1;
constexpr int kThirdOctaveBands = 24;

namespace tone_detail {
constexpr std::array<float, kThirdOctaveBands> MakeThirdOctaveCentres() {
  std::array<float, kThirdOctaveBands> c{};
  c[kThirdOctaveBands - 1] = 16000.0f;
  // Rounded to single at every step, as the published labels were computed.
  for (int i = kThirdOctaveBands - 2; i >= 0; --i)
    c[i] = static_cast<float>(static_cast<long double>(c[i + 1]) / 1.259921049895L);
  return c;
}
}  // namespace tone_detail

// Centre frequencies (Hz) of the third-octave noise bands by band index, 79 .. 16000.
inline constexpr std::array<float, kThirdOctaveBands> ThirdOctaveCentres =
    tone_detail::MakeThirdOctaveCentres();

// Edges of the top octave's three bands as fractions of half the sample rate.
inline constexpr std::array<float, 4> BandEdgeFractions = {0.814f, 0.646f, 0.513f, 0.407f};

// Spectrum bins (of a 16384-point transform, 2.69 Hz each) that a band keeps, inclusive.
// Adjacent bands share their edge bin. Bands outside 0..23 are clamped into that range.
struct TBinRange {
  int Lower;
  int Upper;
};
TBinRange ThirdOctaveBandBins(int Band);

// One cycle of amplitude 32767 in 32768 single floats; built once, never changed.
const float* SineTable();
// Per-bin gains of the pink filter, bins 0..8192 (about 8 / sqrt(k)); built once.
const SCplx* PinkFilter();

// State of the noise sequence: a 32-bit linear congruential generator (state * 134775813
// + 1 before each draw) shared by all noise synthesis, 0 at program start.
uint32_t NoiseSeed();
void SetNoiseSeed(uint32_t Seed);

// Pink and band noise reseed from this clock once per block and channel. The default is
// the UTC time of day in milliseconds; tests install their own (nullptr restores it).
using TReseedClock = uint32_t (*)();
void SetReseedClock(TReseedClock Clock);

class TBasicAudioGenerator : public TWaveOut {
  Q_OBJECT
 public:
  explicit TBasicAudioGenerator(QObject* AOwner = nullptr);
  ~TBasicAudioGenerator() override;

  // Started (if open and waiting) by every block fill, so capture begins with playback.
  TWaveIn* AssociatedInput() const { return FAssociatedInput; }
  void SetAssociatedInput(TWaveIn* Value) { FAssociatedInput = Value; }

  // Read once at the start of each block fill.
  float LeftAmplitude() const { return FLeftAmplitude; }
  void SetLeftAmplitude(float Value);
  float LeftFrequency() const { return FLeftFrequency; }
  virtual void SetLeftFrequency(float Value);
  float RightAmplitude() const { return FRightAmplitude; }
  void SetRightAmplitude(float Value);
  float RightFrequency() const { return FRightFrequency; }
  virtual void SetRightFrequency(float Value);

  TWaveform LeftWaveform() const { return FLeftWaveform; }
  virtual void SetLeftWaveform(TWaveform Value);
  TWaveform RightWaveform() const { return FRightWaveform; }
  virtual void SetRightWaveform(TWaveform Value);

  // The frequency (Hz) carried by the block the device finished last; 0 for noise.
  virtual float LastFrequencyPlayed() const;

  int PostSilence() const { return FPostSilence; }            // frames
  int PreSilence() const { return FPreSilence; }              // frames
  int FastSweepSamples() const { return FFastSweepSamples; }  // frames

  uint32_t LeftPhase() const { return FLeftPhase; }
  uint32_t RightPhase() const { return FRightPhase; }

  // Whether FillBlock plays sines exactly: round(A * 32767 * sin(2 pi phi)) in double from a
  // 64-bit phase whose increment comes from the frequency in double, so that only the 16-bit
  // rounding is left (about -98 dBFS, where the table sine leaves about -85 dBFS). Off by
  // default; the sweeps never use it. Either way the phase runs on without a jump.
  bool ExactSine() const { return FExactSine; }
  void SetExactSine(bool Value) { FExactSine = Value; }

  // Frames per block for tones and noise (the fast sweeps keep one repetition per block):
  // shorter blocks bring a setting change to the output sooner. Pink and band noise are still
  // made kToneBlockFrames at a time and played out in slices; a setting change starts a new
  // noise block at once. Values below 256 or above kToneBlockFrames are ignored.
  int ToneBlockFrames() const { return FToneBlockFrames; }
  void SetToneBlockFrames(int Frames);

  // The OnNeedData handler: fills dwBufferLength bytes at lpData and sets dwUser to the
  // bits of the tone frequency (the right one if both channels are tones), else 0 (noise and
  // two-tones). Equal settings copy the left channel, opposite amplitudes negate it (a
  // two-tone's frequency setting means nothing and is not compared). Every sample is rounded
  // to nearest (ties to even) and saturated at +-32767; a channel that cannot be
  // synthesised (a sweep waveform) is silent. Pink and band noise in a block other than
  // kToneBlockFrames come in slices of noise made kToneBlockFrames at a time.
  void FillBlock(PWaveHdr Header);

  // Writes one channel (0 left, 1 right) of Frames interleaved stereo frames with a sine
  // or triangle, advancing Phase (30 bits); other waveforms write nothing.
  static void SynthesizeTone(TWaveform Waveform, int16_t* Samples, int Frames, int Channel,
                             uint32_t& Phase, float Frequency, float Amplitude);
  // Noise kernels for one channel. White noise continues the noise sequence; pink and band
  // noise reseed it, use Transform (kToneBlockFrames + 2 floats) and write kToneBlockFrames
  // frames.
  static void SynthesizeWhiteNoise(int16_t* Samples, int Frames, int Channel, float Amplitude);
  static void SynthesizePinkNoise(float* Transform, int16_t* Samples, int Channel,
                                  float Amplitude);
  static void SynthesizeBandNoise(float* Transform, int16_t* Samples, int Channel, int Band,
                                  float Amplitude);
  // The exact sine into one channel, advancing Phase (2^-64 cycles).
  static void SynthesizeExactSine(int16_t* Samples, int Frames, int Channel, uint64_t& Phase,
                                  float Frequency, float Amplitude);
  // A two-tone signal into one channel, advancing the tones' phases (2^-64 cycles).
  static void SynthesizeTwoTone(const TTwoTone& Tones, int16_t* Samples, int Frames,
                                int Channel, uint64_t (&Phases)[2], float Amplitude);
  // Phase increment (2^-64 cycles per frame) of a frequency in Hz, in double.
  static uint64_t ExactIncrement(double Frequency);

 protected:
  float FLeftAmplitude = 0, FRightAmplitude = 0;
  float FLeftFrequency = 0, FRightFrequency = 0;
  TWaveform FLeftWaveform = SineWave, FRightWaveform = SineWave;
  uint32_t FLeftPhase = 0, FRightPhase = 0;

 private:
  struct TExactPhases {
    uint64_t Sine = 0;          // refines the channel's 30-bit phase while it agrees with it
    uint64_t TwoTone[2] = {};   // low and high tone
  };
  void SynthesizeChannel(int16_t* Samples, int Frames, int Channel, TWaveform Waveform,
                         uint32_t& Phase, TExactPhases& Exact, float Frequency,
                         float Amplitude, uint32_t& User);

  bool FExactSine = false;
  TExactPhases FLeftExact, FRightExact;
  int FToneBlockFrames = kToneBlockFrames;
  // Pink or band noise of one channel made kToneBlockFrames at a time, for shorter blocks.
  struct TNoiseSlices {
    std::vector<int16_t> Block;  // interleaved stereo; only the channel's own samples are used
    int Next = kToneBlockFrames;  // first frame not yet played
    TWaveform Waveform = SineWave;
    int Band = -1;
    float Amplitude = 0;
  };
  void SliceNoise(int16_t* Samples, int Frames, int Channel, TWaveform Waveform, float Frequency,
                  float Amplitude);
  TNoiseSlices FNoise[2];

  QPointer<TWaveIn> FAssociatedInput;
  int FPostSilence = 0, FPreSilence = 0, FFastSweepSamples = 0;
  struct TFree {
    void operator()(float* p) const;
  };
  std::unique_ptr<float[], TFree> FTransform;  // kToneBlockFrames + 2 floats, 64-byte aligned
};

class TAudioToneGenerator : public TBasicAudioGenerator {
  Q_OBJECT
 public:
  explicit TAudioToneGenerator(QObject* AOwner = nullptr);

  // Only SineWave .. Octave3Noise and the two-tones are accepted; other values are ignored.
  void SetLeftWaveform(TWaveform Value) override;
  void SetRightWaveform(TWaveform Value) override;

  // Whether the frequency control means anything for this waveform.
  static bool WaveformHasFrequency(TWaveform Waveform);
};
