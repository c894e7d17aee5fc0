// The response plot: plays a sweep through the device under test, measures each captured block
// into a level per frequency point for the left and the right input, and draws both over a dB
// grid, or the right relative to the left. A measured response can be saved as a small text
// file, and such a file loaded back into the left channel as a reference.
//
// Where the sweep lies in the capture is measured, never assumed: the sound system's round trip
// is hundreds of milliseconds and differs per run. A fast sweep is found in every captured
// block by cross-correlation with the block played; a slow run is placed by its timing markers
// (see SweepGenerator.h), and each step is then read from the frames that lie wholly inside it.
//
// GUI thread only. Frequencies Hz, levels dB (0 dB = a full-scale sine), coordinates pixels of
// the control (plot area 1 ... W by 1 ... H), samples 16-bit interleaved stereo frames, left
// first, delays in frames at 44100 Hz. A point is one plot column in fast sweep and one step in
// slow sweep.
#pragma once

#include "Calibration.h"
#include "DelayFinder.h"
#include "FrequencyPlot.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

class QLabel;
class TAudioSweepGenerator;

// ---------------------------------------------------------------------------------------------
// Response files and the reference, as plain functions

constexpr int kReferencePoints = 500;

struct TReferenceEntry {
  float Frequency;  // Hz
  float Level;      // dB
};

// The whole text of a response file: the header line, then "%.1f  %s" per point with repeated
// level texts dropped (the first and the last point always kept), every line ended by CR LF.
// levels[i] belongs to frequencies[i]; decimalPoint replaces "." in every number.
QByteArray FormatResponse(std::span<const float> frequencies, std::span<const float> levels,
                          QChar decimalPoint);

enum class TReferenceLine { Point, Skip, End };
// One line of a reference file: trimmed, split at its first blank. Skip when a number does not
// convert, End when the frequency is negative or not a number. Numbers may use "." or
// decimalPoint.
TReferenceLine ParseReferenceLine(QStringView line, QChar decimalPoint, float& frequency,
                                  float& level);

// Reads the points of an open reference file into table[1 ... count] and returns count (at most
// kReferencePoints and table.size() - 2): a line that is no point is passed over, a negative
// frequency ends the reading. filledUp: 500 points were read and more text follows. A read
// error stops the reading and leaves its reason in failure, the points before it kept.
int ReadReference(QIODevice& file, QChar decimalPoint, std::span<TReferenceEntry> table,
                  QString& failure, bool& filledUp);

// Levels at the points' frequencies, interpolated linearly along table[0 ... count + 1] by a
// walk that only moves forward; table[count + 1] is the end entry. frequencies ascending.
void InterpolateReference(const TReferenceEntry* table, int count, const float* frequencies,
                          int points, float* levels);

// ---------------------------------------------------------------------------------------------

class TResponsePlot : public TFrequencyPlot {
  Q_OBJECT

public:
  explicit TResponsePlot(QWidget* parent = nullptr);
  // Stops the sweep before the generator goes.
  ~TResponsePlot() override;

  // 0 none, 1 "Smooth" (1-2-1), 2 "Smooth more" (1-3-4-3-1); other values are ignored.
  int TraceSmoothing() const { return FTraceSmoothing; }
  void SetTraceSmoothing(int value);
  // Owned by the plot; every setting below reaches it through the plot.
  TAudioSweepGenerator* SweepGenerator() const { return FSweepGenerator; }
  // The sweep generator's Enabled; may raise EWaveOutError.
  bool Enabled() const;
  void SetEnabled(bool value);
  // The sweep generator's OnOpen and OnClose.
  void SetOnSweepOpen(TNotifyEvent handler);
  void SetOnSweepClose(TNotifyEvent handler);
  // Linear factors, negative inverts; 0 without a generator.
  float LeftAmplitude() const;
  void SetLeftAmplitude(float value);
  float RightAmplitude() const;
  void SetRightAmplitude(float value);
  // Sweep start and end, and the ends of the frequency axis; a change runs UpdateSweepRange.
  int MinFrequency() const { return FMinFrequency; }
  void SetMinFrequency(int hz);
  int MaxFrequency() const { return FMaxFrequency; }
  void SetMaxFrequency(int hz);
  bool LogSweep() const { return FLogSweep; }
  void SetLogSweep(bool value);
  bool SteppedSweep() const { return FSteppedSweep; }
  void SetSteppedSweep(bool value);
  bool Declick() const { return FDeclick; }
  void SetDeclick(bool value);
  // Stops the sweep and sizes the source's blocks to the generator's.
  bool SlowSweep() const { return FSlowSweep; }
  void SetSlowSweep(bool value);
  // Read back from the generator; setting the last value given again changes nothing.
  int SlowSweepActiveSeconds() const;
  void SetSlowSweepActiveSeconds(int seconds);
  int SlowSweepSilentSeconds() const;
  void SetSlowSweepSilentSeconds(int seconds);
  // Draw right minus left, 20 dB down, in TraceColour instead of the two channels.
  bool LeftIsReference() const { return FLeftIsReference; }
  void SetLeftIsReference(bool value);
  // Once one whole sweep (fast: a block, slow: a cycle) has been measured, capture stops and the
  // sweep is switched off, so that the response stays on the plot to be looked at and saved.
  bool StopAfterOneSweep() const { return FStopAfterOne; }
  void SetStopAfterOneSweep(bool value) { FStopAfterOne = value; }
  // Fired (from the event loop) when a sweep stopped because one sweep was measured.
  void SetOnSweepComplete(std::function<void()> handler) { FOnSweepComplete = std::move(handler); }

  // The round trip of the current run, measured from the signal: a captured frame of the run is
  // the played frame this many frames earlier (negative where the capture began after the
  // playing); kNoDelay while not found. In fast sweep it is known modulo the block (1.3 s) and
  // placed by the devices' clocks where they keep one.
  static constexpr int64_t kNoDelay = INT64_MIN;
  int64_t MeasuredDelay() const { return FDelay; }
  // What the devices' clocks say of the same (first played frame against the run's first
  // captured one); kNoDelay where a backend keeps no clock or before the first block was played.
  int64_t ClockDelay() const;
  // How clearly the delay stood out (peak over mean of the correlation; 0 never found).
  double DelayClarity() const { return FDelayClarity; }
  // One line for the user: the measured delay in ms, or why there is none yet.
  QString TimingText() const;

  // Mouse position in control pixels on every move.
  void SetOnMouseMove(std::function<void(int x, int y)> handler) { FOnMouseMove = std::move(handler); }

  // The curve taken off the measured levels of both inputs, each point at its own frequency
  // (drawn, saved and in LeftLevels/RightLevels); a loaded reference is a file's levels and
  // stays as it is. None with nullptr. Levels already measured follow a new curve at once.
  const std::shared_ptr<const TCalibration>& Calibration() const { return FCalibration; }
  void SetCalibration(std::shared_ptr<const TCalibration> calibration);

  // Writes the current response (right, or right minus left with LeftIsReference) to a file,
  // replacing it only once complete. While no point is held nothing is written and a
  // message says so. A failure is
  // shown as a message naming the file and the reason; false then.
  bool SaveResponse(const QString& fileName);
  // Reads a reference into the left channel; an empty name clears it. A file with more than
  // 500 points warns and keeps the first 500; one that cannot be read is reported, and the
  // points read so far are applied without counting as loaded.
  void LoadLeftReference(const QString& fileName);
  // Interpolates the reference onto the frequency points; sets the point count and repaints.
  void ApplyLeftReference();
  // Completes the range (start at least 1 Hz, end above start), hands it to the generator and
  // rebuilds the frequency points.
  void UpdateSweepRange();

  // Right levels were measured over the current frequency points (the left ones too unless a
  // reference is loaded).
  bool Measured() const { return FMeasured; }
  const QString& ReferenceFileName() const { return FReferenceFileName; }
  bool ReferenceLoaded() const { return FReferenceLoaded; }
  int ReferencePointCount() const { return FReferenceCount; }
  // The number of frequency points: the active step count in slow sweep, W otherwise.
  int Points() const;
  // Per point: Hz, left and right dB as last measured (smoothed and averaged).
  std::span<const float> Frequencies() const;
  std::span<const float> LeftLevels() const;
  std::span<const float> RightLevels() const;

  // Creates the 20 captions on the parent the first time ("<name>_X0" ... "_X10" below the
  // plot, "_Y0" ... "_Y8" left of it) and places those in use.
  void UpdateScaleLabels() override;
  void DrawDisplay(TCanvas& canvas) override;
  // In slow sweep a column reads the step drawn above it.
  bool Readout(int x, int y, float& frequency, float& level) const override;
  // Sets the sweep generator's AssociatedInput and gives the source the generator's block
  // length.
  void SetSource(TWaveIn* source) override;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override;

protected:
  void BoundsChanged() override;
  void mouseMoveEvent(QMouseEvent* event) override;

private:
  // Puts a captured block into the ring at its run frame; starts a run with the sweep's.
  void TakeBlock(const int16_t* samples, int frameCount);
  int MeasureFast(const int16_t* samples, int frameCount);
  int MeasureSlow(int frameCount);
  // Level of frames [from, from + count) of the run from the ring, offsets taken off.
  void RingLevels(int64_t from, int count, double& left, double& right) const;
  // The fast sweep's played block (both channels, phase 0), for the correlation.
  void EnsureFastReference(int frames);
  void EnsureMarkerReference();
  // Column windows relative to the first frame of the tone: W starts, each FColumnFrames long.
  void EnsureColumnWindows(int frames);
  void SweepCompleted(bool& continueFlag);
  // Sizes the per-point arrays for max(W, steps) points and the point arrays for the stair's
  // two vertices per step; allocates only when the need grows.
  void EnsureCapacity();
  void DrawTraces(TCanvas& canvas);
  // Draws count levels (which may be column array 3 itself) as rows, one polyline per run of
  // measured points.
  void DrawLevels(TCanvas& canvas, const float* levels, int count, QPoint* points, const QColor& colour);
  // The polyline through rows first ... first + count - 1 into points: one vertex per column
  // in fast sweep, two per step (a stair) in slow sweep; rows far off the plot are limited.
  // Returns the vertices.
  int BuildTrace(const float* rows, int first, int count, QPoint* points) const;
  QLabel* Label(const QString& suffix) const;
  // The calibration's dB at each frequency point (empty without one), and the value at point i.
  void RebuildCalibrationTable();
  float CalibrationAt(int i) const {
    return static_cast<std::size_t>(i) < FCalibrationdB.size() ? FCalibrationdB[static_cast<std::size_t>(i)] : 0.0f;
  }

  TAudioSweepGenerator* FSweepGenerator = nullptr;
  std::shared_ptr<const TCalibration> FCalibration;
  std::vector<float> FCalibrationdB;
  int FTraceSmoothing = 1;
  int FMinFrequency = 300;
  int FMaxFrequency = 3000;
  bool FLogSweep = false;
  bool FSteppedSweep = false;
  bool FDeclick = false;
  bool FSlowSweep = false;
  bool FLeftIsReference = false;
  int FLastActiveSeconds = 0, FLastSilentSeconds = 0;
  int FActiveSteps = 0, FSilentSteps = 0;
  int FBuiltW = -1;  // plot width the frequency points were last built for

  QString FReferenceFileName;
  bool FReferenceLoaded = false;
  int FReferenceCount = 0;
  // The right levels come from a measurement over the current frequency points. Until then
  // they are the zeros of a new table, which must be neither saved nor drawn as a response.
  bool FMeasured = false;
  // The left levels come from a file's points (loaded, or read in part before a failure).
  bool FLeftFromFile = false;
  std::array<TReferenceEntry, kReferencePoints + 2> FReference{};

  bool FLabelsCreated = false;
  bool FDrawFailureShown = false;
  std::function<void(int, int)> FOnMouseMove;

  std::vector<std::pair<int, int>> FRuns;  // runs of measured points being drawn
  bool FStopAfterOne = false;
  bool FCompleted = false;  // this run measured its sweep and is being stopped
  std::function<void()> FOnSweepComplete;

  // The run: a sweep from its enabling on, the capture counted in run frames from the first
  // block taken after it. The ring holds the latest captured frames at run frame % its size.
  int FRunNumber = -1;            // the generator's run the capture belongs to
  int64_t FRunOrigin = 0;         // device frame of run frame 0 (block count without one)
  int64_t FRunClock = -1;         // device clock of run frame 0
  int64_t FCaptured = 0;          // run frames captured so far
  int64_t FRingFrom = 0;          // first run frame after the last gap
  std::vector<int16_t> FRing;
  int64_t FDelay = kNoDelay;
  double FDelayClarity = 0;
  TDelayFinder FFinder;
  std::vector<int16_t> FScratch;  // a contiguous copy of ring frames for the finder
  enum class TReference { None, Fast, Marker } FReferenceKind = TReference::None;
  std::vector<float> FReferenceKey;  // the settings the reference was made for
  // Fast sweep
  int FLastLag = -1;              // the previous block's lag: that block held the sweep too
  double FLastCoherence = 0;      // what the last search found there
  std::vector<int> FColumnStarts;
  std::array<std::vector<float>, 2> FFitReal, FFitQuadrature;  // the fast block at phase 0 and a quarter
  int FColumnFrames = 0;
  std::vector<float> FWindowKey;
  // Slow sweep: the next played block to place (its marker searched, or its step measured)
  int64_t FNextBlock = 0;
  int64_t FShownCycle = -1;
  int FShownSteps = 0;
  int FCycleLost = 0;  // steps of the shown cycle that could not be measured
};
