// Sweep generator for the response plot: per channel, a sine whose frequency moves from a
// start to an end frequency. A fast sweep puts one whole sweep, framed by silence, into
// every 57330-frame block (1000 smooth or 20 audible steps); the slow sweep plays one steady
// quarter-second step per block, a cycle of sounding steps followed by silent ones. A slow run
// begins with a timing marker block, and the last silent block of every cycle holds one too,
// so that the response plot can find where the run comes back in the capture.
//
// Threads: GUI thread only (block fills run inside the stream's notifications). SweepLayout,
// DeclickFrames, FillSweepChannel and DeclickChannel touch nothing shared and may be called
// from any thread.
// Units: frequencies in Hz, lengths in frames at 44100 Hz, slow-cycle lengths in whole
// seconds, amplitudes linear (1.0 = full scale, negative inverts), phases in 2^-30 cycles.
#pragma once

#include <cstdint>

#include "ToneGenerator.h"

constexpr int kSmoothSweepSteps = 1000;
constexpr int kSteppedSweepSteps = 20;

// The slow sweep's timing marker: a logarithmic chirp over the audio band at the start of a
// block, the rest of the block silent so that the device rings out before the next step.
constexpr int kMarkerFrames = 4096;
constexpr float kMarkerStartHz = 20.0f;
constexpr float kMarkerEndHz = 20000.0f;

// A slow run opens with this many silent blocks (0.5 s): a sound server may start recording
// after it has started playing, and what it plays before that never comes back.
constexpr int kSlowLeadInBlocks = 2;

enum class TSlowBlock { Marker, Step, Silent };
// What block `block` of a slow run plays (0 = the first block after enabling), with `step` the
// step of its cycle (0 = the start frequency) and `cycle` the cycle (0 = the first) when it is
// a Step. The lead-in's silent blocks come first, then a marker; then cycles of `active` steps
// and `silent` silent blocks follow, the last silent block of each cycle a marker. No active
// steps: every block is silent.
TSlowBlock SlowBlockKind(int64_t block, int active, int silent, int& step, int64_t& cycle);

// Where the segments of a fast sweep of Steps steps fall in a channel of Frames frames.
struct TSweepLayout {
  int LeadInSegments;  // silent, before the tone: Steps / 5
  int TailSegments;    // silent, after it: Steps / 10
  int SegmentFrames;   // Frames / (lead-in + Steps + tail)
  int FirstFrame;      // first frame of the tone
  int LastFrame;       // last frame of the tone; FirstFrame - 1 when there is no tone
  int WrittenFrames;   // frames written; the rest (less than a segment) is left alone
};
TSweepLayout SweepLayout(int Frames, int Steps);

// Length of a declick fade at this frequency: seven quarter periods, rounded to even, at
// least 1/300 s (147 frames). Frequencies that give no finite length get a very long fade,
// which DeclickChannel cuts to the tone.
int DeclickFrames(float Frequency);

class TAudioSweepGenerator : public TBasicAudioGenerator {
  Q_OBJECT
 public:
  explicit TAudioSweepGenerator(QObject* AOwner = nullptr);

  // A change restarts a slow run at its marker block; setting the current value changes
  // nothing.
  void SetEnabled(bool Value) override;
  // A new start frequency also sets the end frequency to twice it: set starts before ends.
  void SetLeftFrequency(float Value) override;
  void SetRightFrequency(float Value) override;

  bool LeftLog() const { return FLeftLog; }
  void SetLeftLog(bool Value) { FLeftLog = Value; }
  bool RightLog() const { return FRightLog; }
  void SetRightLog(bool Value) { FRightLog = Value; }
  float LeftMaxFrequency() const { return FLeftMaxFrequency; }
  void SetLeftMaxFrequency(float Value);
  float RightMaxFrequency() const { return FRightMaxFrequency; }
  void SetRightMaxFrequency(float Value);
  bool LeftStepped() const { return FLeftStepped; }
  void SetLeftStepped(bool Value) { FLeftStepped = Value; }
  bool RightStepped() const { return FRightStepped; }
  void SetRightStepped(bool Value) { FRightStepped = Value; }
  bool LeftDeclick() const { return FLeftDeclick; }
  void SetLeftDeclick(bool Value) { FLeftDeclick = Value; }
  bool RightDeclick() const { return FRightDeclick; }
  void SetRightDeclick(bool Value) { FRightDeclick = Value; }

  // Switching stops the generator and changes the block length; it stays stopped.
  bool SlowSweep() const { return FSlowSweep; }
  void SetSlowSweep(bool Value);
  int SlowSweepActiveSteps() const { return FSlowSweepActiveSteps; }
  int SlowSweepSilentSteps() const { return FSlowSweepSilentSteps; }
  // A change restarts a running generator.
  int SlowSweepActiveSeconds() const { return FSlowSweepActiveSeconds; }
  void SetSlowSweepActiveSeconds(int Value);
  int SlowSweepSilentSeconds() const { return FSlowSweepSilentSeconds; }
  void SetSlowSweepSilentSeconds(int Value);
  int SlowSweepSamples() const { return FSlowSweepSamples; }  // frames per slow step
  // Slow blocks filled since the generator was last enabled (the next block's number).
  int64_t RunBlocks() const { return FRunBlocks; }
  // Counts the enablings: each one starts a run whose first block is played frame 0.
  int RunNumber() const { return FRunNumber; }

  // Every setting that shapes what is played (frequencies, amplitudes, flags, slow cycle), so
  // that a copy plays from its first block what the source plays; Enabled and the run are not
  // copied. For writing a file without touching a running generator.
  void AssignSettings(const TAudioSweepGenerator& Source);
  // Blocks that hold one whole sweep: 1 fast block, or a slow run's lead-in, marker and every step.
  int SweepBlocks() const { return FSlowSweep ? kSlowLeadInBlocks + 1 + FSlowSweepActiveSteps : 1; }

  // The OnNeedData handler, installed by the constructor. dwUser becomes 0: a sweep reports
  // no single frequency. Capture is started with every sounding block.
  void FillSweepBlock(PWaveHdr Header);

  // One channel (0 left, 1 right) of a fast-sweep block: Steps segments of sine from
  // StartFrequency to EndFrequency (by a constant factor when Log, else by a constant
  // increment), after Steps / 5 and before Steps / 10 silent segments, optionally declicked.
  // Phase runs on through the segments and is left where the tone ended.
  static void FillSweepChannel(int16_t* Samples, int Frames, int Channel, int Steps,
                               bool Declick, bool Log, float StartFrequency, float EndFrequency,
                               float Amplitude, uint32_t& Phase);
  // The timing marker into one channel's first kMarkerFrames frames (fewer if the block is
  // shorter), at the given amplitude; the other frames are left alone.
  static void FillMarkerChannel(int16_t* Samples, int Frames, int Channel, float Amplitude);
  // Raised-cosine fades over the tone between FirstFrame and LastFrame: in by the start
  // frequency's DeclickFrames, out by the end frequency's, each cut to the tone's length, so
  // both end frames become 0. Does nothing when either frame is 0 or the range is not
  // inside the channel.
  static void DeclickChannel(int16_t* Samples, int Frames, int Channel, int FirstFrame,
                             int LastFrame, float StartFrequency, float EndFrequency);

 private:
  void BeginSlowCycle();

  bool FLeftLog = true, FRightLog = true;
  float FLeftMaxFrequency = 0, FRightMaxFrequency = 0;
  bool FLeftStepped = false, FRightStepped = false;
  bool FLeftDeclick = true, FRightDeclick = true;
  bool FSlowSweep = false;
  int FSlowSweepActiveSteps = 0, FSlowSweepSilentSteps = 0;
  int FSlowSweepActiveSeconds = 0, FSlowSweepSilentSeconds = 0;
  int FSlowSweepSamples = 0;
  int64_t FRunBlocks = 0;
  int FRunNumber = 0;
  float FLeftCurrent = 0, FRightCurrent = 0;  // frequencies of the slow step being played
  float FLeftStep = 1, FRightStep = 1;        // factor when log, else increment in Hz
};
