// The built-in simulated sound card: output -> model device under test -> input.
//
// Left input is a straight wire from the left output; the right input passes the right
// output through a small-loudspeaker model (high-pass, presence peak, roll-off). Both
// inputs carry a DC offset, 50 Hz hum and a seedable noise floor, and arrive a fixed
// latency after they were played. With nothing playing, the input still records this
// idle signal. Its ground truth is public so tests can compare against it.
//
// Threads: one card thread moves the audio; device calls come from the GUI thread.
// Units: frames at 44100 Hz, sample values in 16-bit LSB.
#pragma once

#include <complex>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AudioDevice.h"

enum class TCardPace {
  Realtime,     // frames advance with the wall clock; starved queues underrun or overrun
  Accelerated,  // as fast as the streams keep up; waits (up to a limit) for starved queues
};

class TSimulatedCard : public std::enable_shared_from_this<TSimulatedCard> {
 public:
  static constexpr int kLatencyFrames = 1536;
  static constexpr double kLeftOffset = -3.0;
  static constexpr double kRightOffset = 2.0;
  static constexpr double kHumFrequency = 50.0;
  static constexpr double kHumAmplitude = 3.2767;  // peak LSB: -80 dB re a full-scale sine
  static constexpr double kNoiseRms = 0.5;         // LSB per channel, about -96 dBFS
  // Right-channel model (a small loudspeaker).
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

  // Exact complex response of the right-channel model at a frequency in Hz.
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
  static std::vector<TBiquad> RightModel();

 private:
  struct TStreamSlot {
    TDeviceNotifier* notifier = nullptr;
    uint32_t generation = 0;
    bool failed = false;
    int failCode = 0;
    std::deque<PWaveHdr> queue;
    uint32_t pos = 0;  // frames done in the front block
    bool recording = false;
    bool started = false;
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
  void ProcessChunk(int frames);
  void ReturnAll(TStreamSlot& slot, unsigned message, bool keepPartial);
  void FailAll(int direction, int code, const std::string& text);
  double Noise();

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

  // model state, card thread only
  std::vector<TBiquad> right_;
  std::vector<double> delay_;  // kLatencyFrames stereo frames
  size_t delayPos_ = 0;
  uint64_t rng_;
  bool haveSpare_ = false;
  double spare_ = 0;

  std::thread thread_;
};

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
