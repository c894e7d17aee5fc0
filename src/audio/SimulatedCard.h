// The built-in simulated sound card: output -> sound system delay -> model device under test
// -> input.
//
// Like a real sound server, the card returns what was played a round trip later that is
// fixed while an output plays and differs per opening (a base delay plus a random part), and
// in real time it hands filled capture blocks back a little late, by a varying amount. Each
// input has its own device under test: a wire (default left), a small-loudspeaker model
// (default right), or a high-, low- or band-pass biquad, each behind an optional polynomial
// nonlinearity. Both inputs carry a DC offset, 50 Hz hum and a seedable noise floor. With
// nothing playing, the input still records this idle signal. Its ground truth is public so
// tests can compare against it.
//
// Each frame, per input channel c (x: what arrives, the sum of every output playing, in LSB):
//   1. nonlinearity: y_c = 32767 * P_c(x_c / 32767), P_c(u) = sum c_k u^k, k = 1 ... K
//      (skipped for the identity {1.0}, the default);
//   2. device under test: d_c = filter_c(y_c);
//   3. crosstalk: s_c = d_c + g * d_other (g linear, default 0);
//   4. input_c = round-to-nearest-even(s_c + offset_c + hum + noise_c), saturated to 16 bits.
//
// Threads: one card thread moves the audio; every other call comes from the GUI thread (or
// a test's thread) and is safe against the card thread.
// Units: frames at 44100 Hz, sample values in 16-bit LSB, frequencies in Hz.
#pragma once

#include <array>
#include <chrono>
#include <complex>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AudioDevice.h"

// What sits between an output and its input.
enum class TDutKind {
  Wire,         // unity
  Loudspeaker,  // 80 Hz high-pass, 3 kHz +4 dB presence peak, 12 kHz low-pass; CornerHz and Q unused
  HighPass,     // 2nd-order cookbook biquad at CornerHz with Q
  LowPass,      // 2nd-order cookbook biquad at CornerHz with Q
  BandPass,     // cookbook band-pass, 0 dB at CornerHz, bandwidth set by Q
};
struct TDutModel {
  TDutKind Kind = TDutKind::Wire;
  double CornerHz = 1000;  // 0 < CornerHz < 22050
  double Q = 0.70710678;   // > 0
  bool operator==(const TDutModel&) const = default;
};
// "wire", "loudspeaker", "highpass:<Hz>[:<Q>]", "lowpass:<Hz>[:<Q>]" or "bandpass:<Hz>[:<Q>]";
// nothing for anything else.
std::optional<TDutModel> ParseDutModel(std::string_view text);
// "c1,c2,...": 1 to TSimulatedCard::kMaxCoefficients finite numbers separated by commas, no
// spaces; nothing for anything else.
std::optional<std::vector<double>> ParseCoefficients(std::string_view text);

enum class TCardPace {
  Realtime,     // frames advance with the wall clock; starved queues underrun or overrun
  Accelerated,  // as fast as the streams keep up; waits (up to a limit) for starved queues
};

class TSimulatedCard : public std::enable_shared_from_this<TSimulatedCard> {
 public:
  // Round trip of the sound system: base delay plus a random part drawn per output opening.
  static constexpr int kDefaultRoundTripFrames = 13230;  // 300 ms
  static constexpr int kDefaultJitterFrames = 1323;      // 30 ms
  static constexpr int kMaxRoundTripFrames = 2 * kSampleRate;
  static constexpr int kMaxJitterFrames = kSampleRate;
  static constexpr double kLeftOffset = -3.0;
  static constexpr double kRightOffset = 2.0;
  static constexpr double kHumFrequency = 50.0;
  static constexpr double kHumAmplitude = 3.2767;  // peak LSB: -80 dB re a full-scale sine
  static constexpr double kNoiseRms = 0.5;         // LSB per channel, about -96 dBFS
  // The loudspeaker model (the right input's default).
  static constexpr double kHighPassHz = 80.0;
  static constexpr double kPeakHz = 3000.0;
  static constexpr double kPeakGaindB = 4.0;
  static constexpr double kPeakQ = 1.0;
  static constexpr double kLowPassHz = 12000.0;
  // How long an accelerated card waits for a starved queue before it goes on.
  static constexpr int kStarveWaitMs = 2000;

  explicit TSimulatedCard(TCardPace pace = TCardPace::Realtime, uint32_t seed = 1);
  ~TSimulatedCard();
  TSimulatedCard(const TSimulatedCard&) = delete;
  TSimulatedCard& operator=(const TSimulatedCard&) = delete;

  void SetPace(TCardPace pace);
  TCardPace Pace() const;
  // Hum and noise can be turned down so that a played pattern comes back exactly
  // (plus the DC offsets); defaults are the constants above.
  void SetHumAmplitude(double lsb);
  void SetNoiseRms(double lsb);

  // Base delay and the most the random part adds, clamped to 0 ... kMaxRoundTripFrames and
  // 0 ... kMaxJitterFrames. They apply from the next output opening; the jitter also bounds
  // how late a filled capture block is handed back in real time.
  void SetRoundTrip(int frames);
  void SetJitter(int frames);
  int RoundTrip() const;
  int Jitter() const;
  // The delay drawn when the most recently opened output opened (base + 0 ... jitter): a frame
  // that output plays at card frame t is recorded at t + CurrentDelayFrames(). -1 before any
  // output has opened.
  int64_t CurrentDelayFrames() const;

  // The device under test on input channel 0 (left) or 1 (right); a change applies at once
  // with the filter's state cleared. Throws std::invalid_argument for another channel, a
  // corner outside 0 ... 22050 Hz or a Q that is not positive.
  void SetDeviceUnderTest(int channel, const TDutModel& model);
  TDutModel DeviceUnderTest(int channel) const;
  // The nonlinearity in front of input channel 0 or 1's device under test: coefficients
  // c1 ... cK of x, x^2 ... x^K on the full scale 1.0 (a 32767 LSB peak), 1 to kMaxCoefficients
  // of them, finite; {1.0} is a straight path (the default). Applies at once. Throws
  // std::invalid_argument for another channel, an empty or longer list or a non-finite value.
  static constexpr int kMaxCoefficients = 9;
  void SetNonlinearity(int channel, std::vector<double> coefficients);
  std::vector<double> Nonlinearity(int channel) const;
  // Linear gain with which each input also receives the other channel's device-under-test output
  // (1e-4: -80 dB); 0 (the default) for none. Throws std::invalid_argument for a non-finite gain.
  void SetCrosstalk(double gain);
  double Crosstalk() const;

  // Exact complex response, and gain in dB, of a model at a frequency in Hz.
  static std::complex<double> Response(const TDutModel& model, double hz);
  static double GaindB(const TDutModel& model, double hz);

  // The next Open of an output (input) fails with this code; ErrorText gives the text.
  void RefuseNextOutputOpen(int code, const std::string& text);
  void RefuseNextInputOpen(int code, const std::string& text);
  // Every open output (input) fails now, as a device does whose server went away: it posts
  // one error report, moves no more audio and refuses blocks; Close still returns its blocks.
  void FailOutputs(int code, const std::string& text);
  void FailInputs(int code, const std::string& text);
  // While frozen the card moves no audio at all (a stopped server); device calls still answer.
  void SetFrozen(bool frozen);
  // While unresponsive, device commands fail as if they had waited in vain: Reset, Start and
  // Stop return DEVERR_NOTANSWERING, Close abandons the device (it touches no block again)
  // and its close report comes late, after Close has returned.
  void SetUnresponsive(bool unresponsive);

  // Exact complex response of the default right-channel model (the loudspeaker) in Hz.
  static std::complex<double> RightResponse(double hz);
  static double RightGaindB(double hz);
  // Hum value (LSB) the card adds at card frame t.
  static double HumAt(int64_t frame, double amplitude = kHumAmplitude);

  // Card time in frames.
  int64_t Frame() const;
  // Card frame of the first frame played by the most recently opened output, and of the
  // first frame recorded by the most recently started input; -1 before either happens.
  int64_t LastOutputStartFrame() const;
  int64_t LastInputStartFrame() const;
  // Frames an input lost because it had no block queued (realtime overruns).
  int64_t DroppedInputFrames() const;
  // Blocks handed to a device that already held them (a stream fault; must stay 0).
  int64_t DoubleQueued() const;

  std::unique_ptr<TOutputDevice> CreateOutput();
  std::unique_ptr<TInputDevice> CreateInput();

  struct TBiquad {
    double b0, b1, b2, a1, a2;
    double z1 = 0, z2 = 0;
    double Process(double x) {
      double y = b0 * x + z1;
      z1 = b1 * x - a1 * y + z2;
      z2 = b2 * x - a2 * y;
      return y;
    }
  };
  // The biquad stages of a model, in order (none for a wire).
  static std::vector<TBiquad> Stages(const TDutModel& model);
  static std::vector<TBiquad> RightModel();

 private:
  using TClock = std::chrono::steady_clock;
  // A filled capture block waiting for its late hand-back.
  struct TPendingPost {
    PWaveHdr header = nullptr;
    TClock::time_point due;
  };
  static constexpr int kMaxPendingPosts = 8;
  struct TStreamSlot {
    TDeviceNotifier* notifier = nullptr;
    uint32_t generation = 0;
    bool failed = false;
    int failCode = 0;
    std::deque<PWaveHdr> queue;
    uint32_t pos = 0;  // frames done in the front block
    bool recording = false;
    bool started = false;
    int delay = 0;  // output: this opening's round trip in frames
    // input, real time: filled blocks not yet handed back, oldest first (a ring)
    std::array<TPendingPost, kMaxPendingPosts> pending;
    int pendingFirst = 0, pendingCount = 0;
  };
  // The nonlinearity and filter of one input, card thread (under the mutex).
  struct TDutChannel {
    TDutModel model;
    std::array<TBiquad, 3> stages;
    int count = 0;
    std::array<double, kMaxCoefficients> poly{1.0};
    int polyCount = 1;
    bool straight = true;  // poly is {1.0}
  };
  // What the card keeps per direction (0 output, 1 input).
  struct TDirectionState {
    std::vector<TStreamSlot*> streams;
    int refuseCode = 0;
    std::string refuseText;
    int lastErrorCode = 0;
    std::string lastErrorText;
  };
  template <class TBase, bool output>
  class TCardDevice;
  class TInput;
  template <class TBase, bool output>
  friend class TCardDevice;
  friend class TInput;

  void Run();
  void ProcessChunk(int frames, TClock::time_point now);
  void ReturnAll(TStreamSlot& slot, unsigned message, bool keepPartial);
  // Hands back the pending blocks due by `until` (all of them with TClock::time_point::max()).
  void PostPending(TStreamSlot& slot, TClock::time_point until);
  TClock::time_point NextPendingDue() const;
  // Marks the arrivals stale once nothing plays and nothing records.
  void NoteIfStill();
  void FailAll(int direction, int code, const std::string& text);
  // A sample (LSB) through a channel's polynomial, Horner's way.
  static double Distort(const TDutChannel& d, double lsb);
  // A noise sample: the centred sum of four 16-bit uniforms, times scale.
  double Noise(double scale);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  TDirectionState directions_[2];
  std::vector<TStreamSlot*>& outputs_ = directions_[0].streams;
  std::vector<TStreamSlot*>& inputs_ = directions_[1].streams;
  TCardPace pace_;
  bool quit_ = false;
  bool frozen_ = false;
  bool unresponsive_ = false;
  int64_t frame_ = 0;
  int64_t lastOutputStart_ = -1;
  int64_t lastInputStart_ = -1;
  int64_t droppedInput_ = 0;
  int64_t doubleQueued_ = 0;
  double humAmplitude_ = kHumAmplitude;
  double noiseRms_ = kNoiseRms;
  double crosstalk_ = 0;
  int roundTrip_ = kDefaultRoundTripFrames;
  int jitter_ = kDefaultJitterFrames;
  int64_t currentDelay_ = -1;
  uint64_t delayRng_;  // draws each opening's delay
  bool stoodStill_ = false;  // nothing played or recorded since the last frame moved
  TDutChannel dut_[2];

  // model state, card thread only
  // What arrives at the inputs, stereo, indexed by card frame modulo kRingFrames: an output
  // adds each frame its delay ahead of the frame being recorded, which reads and clears it.
  static constexpr int kRingFrames = kMaxRoundTripFrames + kMaxJitterFrames + 1;
  std::vector<double> arrival_;
  int ringPos_ = 0;  // frame_ % kRingFrames
  uint64_t postRng_;  // how late each capture block is handed back
  uint64_t rng_;

  std::thread thread_;
};

// Sets the card from QUORVANE_SIM_DELAY_MS (base delay, ms), QUORVANE_SIM_JITTER_MS,
// QUORVANE_SIM_LEFT / QUORVANE_SIM_RIGHT (as ParseDutModel reads them),
// QUORVANE_SIM_POLY_LEFT / QUORVANE_SIM_POLY_RIGHT (as ParseCoefficients reads them) and
// QUORVANE_SIM_CROSSTALK_DB (dB, at most 0). A malformed value is left out; the result has one
// line per such value, naming it. GUI thread.
std::vector<std::string> ConfigureCardFromEnvironment(TSimulatedCard& card);

class TSimulatedBackend : public TAudioBackend {
 public:
  explicit TSimulatedBackend(TCardPace pace = TCardPace::Realtime, uint32_t seed = 1);
  std::string Name() const override { return "simulated"; }
  std::unique_ptr<TOutputDevice> CreateOutput() override { return card_->CreateOutput(); }
  std::unique_ptr<TInputDevice> CreateInput() override { return card_->CreateInput(); }
  TSimulatedCard& Card() { return *card_; }

 private:
  std::shared_ptr<TSimulatedCard> card_;
};
