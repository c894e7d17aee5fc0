// The "Impulse response" page's display: collects the captures of synchronised sweeps that the
// page's run plays, hands them to the engine (TImpulseAnalyser, src/measure) and draws what it
// gives: the impulse response (linear or dB) with its window, magnitude, phase, group delay and
// harmonic distortion against a log frequency axis, fractional-octave smoothed (TSmoother), with
// a response loaded from a file drawn over it or divided out.
//
// GUI thread only. Samples are 16-bit values (full scale 32767) in interleaved stereo frames,
// left first; frequencies Hz, times ms re the impulse's peak, levels dB, phases degrees,
// coordinates pixels of the control.
#pragma once

#include "Calibration.h"
#include "Displays.h"
#include "ImpulseResponse.h"
#include "ResponseText.h"
#include "Smoothing.h"
#include "SyncSweep.h"

#include <QPointer>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <vector>

enum class TImpulseView { Impulse, ImpulsedB, Magnitude, Phase, GroupDelay, Distortion };

class TImpulseDisplay : public TAudioDisplay {
  Q_OBJECT

 public:
  static constexpr int kBlockFrames = 4096;  // the source's blocks, about 93 ms
  // The channel argument of the curves: 0 left, 1 right, or the right over the left (dual).
  static constexpr int kRatio = 2;
  static constexpr double kLowHz = 20, kHighHz = 20000;

  explicit TImpulseDisplay(QWidget* parent = nullptr);
  ~TImpulseDisplay() override;

  // --- Measuring. A measurement is count captures of captureFrames frames each; the result
  // shown stays until one completes (Finish).
  // Starts the engine for this sweep (throws what TImpulseAnalyser::Start throws).
  void Begin(const TSyncSweep& sweep, bool dual, int captureFrames);
  // The next blocks fill a fresh capture; OnCaptureStarted follows the first block and
  // OnCaptureFull the one that fills it, both from the event loop, not from inside the block.
  void Arm();
  void Disarm();
  bool Armed() const { return FArmed; }
  int CapturedFrames() const { return FCaptured; }
  int CaptureFrames() const { return FCaptureFrames; }
  void SetOnCaptureStarted(std::function<void()> handler) { FOnCaptureStarted = std::move(handler); }
  void SetOnCaptureFull(std::function<void()> handler) { FOnCaptureFull = std::move(handler); }
  // After every block taken, from inside it: for a progress display, not for stream commands.
  void SetOnCaptureProgress(std::function<void()> handler) { FOnCaptureProgress = std::move(handler); }
  // Deconvolves the full capture into the measurement's average.
  TCaptureFind AddCapture();
  // The measurement becomes the one shown.
  void Finish();

  // --- What is shown.
  bool HasResult() const { return FHasResult; }
  const TImpulseResult& Result() const { return FResult; }
  // The sweep of the result shown.
  const TSyncSweepSettings& SweepSettings() const { return FShownSweep; }
  TImpulseView View() const { return FView; }
  void SetView(TImpulseView view);
  TSmoothing Smoothing() const { return FSmoothing; }
  void SetSmoothing(TSmoothing smoothing);
  // The window asked for; each channel's resolved one is in Result().
  const TIrWindow& Window() const { return FWindow; }
  void SetWindow(const TIrWindow& window);
  // A response loaded from a file: drawn over the magnitude (and the phase when it has one),
  // or, while DivideByLoaded, divided out of magnitude and phase. Empty points: none.
  const TResponseText& Loaded() const { return FLoaded; }
  void SetLoaded(const TResponseText& loaded);
  bool DivideByLoaded() const { return FDivide; }
  void SetDivideByLoaded(bool divide);
  // The input chain's curve, taken off each input's magnitude and phase (and off the
  // fundamental and the harmonic of the distortion view, each at its own frequency); the ratio
  // of the inputs has it in both and stays as it is, and so does the group delay. None with
  // nullptr.
  const std::shared_ptr<const TCalibration>& Calibration() const { return FCalibration; }
  void SetCalibration(std::shared_ptr<const TCalibration> calibration);

  // The channel the saved response, the distortion view and the readout follow: the ratio in
  // dual mode, else the right channel, or the left one when the right found no sweep; -1
  // without a result.
  int MainChannel() const;
  // What a frequency view shows at hz for channel 0, 1 or kRatio, smoothed and divided as
  // shown: Magnitude dB, Phase degrees (-180, 180], GroupDelay ms, Distortion dB of harmonic
  // `order` (2 ... 5) re the fundamental at hz. NaN where nothing is shown there.
  double CurveValue(TImpulseView view, int channel, double hz, int order = 2) const;
  // The main channel's response as shown (smoothing and division included) at these
  // frequencies, for a file.
  std::vector<TResponsePoint> ShownResponse(const std::vector<double>& hz) const;

  // The cursor readout at a control position: "1000 Hz,  -3.21 dB", "12.50 ms,  0.1234", ...;
  // empty outside the plot or without a result.
  QString Readout(int x, int y) const;
  void SetOnMouseMove(std::function<void(int x, int y)> handler) { FOnMouseMove = std::move(handler); }

  // Where the plot is drawn; the columns of the frequency axis and the time axis.
  TRect PlotArea() const;
  int FrequencyColumn(double hz) const;
  double ColumnFrequency(int x) const;
  // The time axis of the impulse views, ms at the plot's left and right edges.
  void TimeRange(double& firstMs, double& lastMs) const;
  // The vertical scale of the view drawn last (value at the plot's top and bottom rows).
  double ScaleTop() const { return FTop; }
  double ScaleBottom() const { return FBottom; }
  int ValueRow(double v) const;

  void SetSource(TWaveIn* source) override;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override;
  void DrawDisplay(TCanvas& canvas) override;

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void Recompute();
  void PrepareSmoothers();
  const TSmoother* SmootherFor(int channel, int order) const;
  void ChooseScale();
  // Caption and vertical scale; step 0 chooses one.
  void DrawFrame(TCanvas& canvas, const QString& caption, double step);
  void DrawImpulse(TCanvas& canvas);
  void DrawFrequency(TCanvas& canvas);
  void DrawCurve(TCanvas& canvas, const std::vector<double>& values, const QColor& colour,
                 TPenStyle style = psSolid);
  double ImpulseSampleAt(int channel, double ms) const;
  std::vector<double> CurveColumns(TImpulseView view, int channel, int order) const;

  // The measurement being collected, and the one shown (swapped in by Finish).
  std::unique_ptr<TImpulseAnalyser> FMeasuring, FShown;
  TSyncSweepSettings FMeasuringSweep, FShownSweep;
  std::vector<int16_t> FCapture;
  int FCaptureFrames = 0, FCaptured = 0;
  bool FArmed = false;
  // Counts arming and disarming, so that a posted handler of an earlier capture does nothing.
  unsigned FArmGeneration = 0;
  std::function<void()> FOnCaptureStarted, FOnCaptureFull, FOnCaptureProgress;

  bool FHasResult = false;
  TImpulseResult FResult;
  // Per channel: order 1 (the response) ... 5; the ratio's response.
  std::array<std::array<TSmoother, 5>, 2> FSmoothers;
  TSmoother FRatioSmoother;
  TImpulseView FView = TImpulseView::Magnitude;
  TSmoothing FSmoothing = TSmoothing::None;
  TIrWindow FWindow;
  TResponseText FLoaded;
  bool FDivide = false;
  std::shared_ptr<const TCalibration> FCalibration;
  double FTop = 0, FBottom = 0;
  std::function<void(int, int)> FOnMouseMove;
};

// The frequencies a saved response has lines for: 48 an octave from f1, and f2.
std::vector<double> ResponseFileFrequencies(double f1, double f2);

class QAction;
class QTimer;

// A measurement while it runs: the sweep, how far it has played, and what the run took over
// from the rest of the window, to be given back however it ends.
struct TImpulseRun {
  explicit TImpulseRun(const TSyncSweepSettings& settings) : Sweep(settings) {}
  TSyncSweep Sweep;
  int Count = 1;      // sweeps to average
  int Done = 0;       // captures added
  int64_t Played = 0;  // frames of the current run handed to the output
  // Idle between captures; Starting: capture opened, waiting for its first block; Playing:
  // the sweep plays into the capture.
  enum TPhase { Idle, Starting, Playing } Phase = Idle;
  bool ToneWasEnabled = false, AnalyserWasEnabled = false;
  TNeedDataEvent ToneNeedData;
  // Controls that would disturb the run, and whether each was enabled.
  std::vector<std::pair<QPointer<QWidget>, bool>> Locked;
  std::vector<std::pair<QPointer<QAction>, bool>> LockedActions;
};
