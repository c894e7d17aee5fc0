// The display control family: the bordered, flicker-free base, the two-channel level meter, the
// base of the displays of captured audio and the oscilloscope.
// GUI thread only. Coordinates are pixels from the control's top-left corner; levels are dB;
// samples are 16-bit values, full scale +-32767, in interleaved stereo frames (left first).
#pragma once

#include "Canvas.h"
#include "WaveCommon.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

class QTimer;

// A one-pixel sunken border around a plot area in BackgroundColour. The whole picture is composed
// off-screen (background, DrawDisplay, then the border over it) and copied to the screen; a
// derived display only overrides DrawDisplay. A live display calls Redraw for each new block:
// the picture is composed at once and only the part that differs from the last one is
// repainted, nothing when nothing changed. Any other change goes through update(), which
// composes the picture anew at the next paint.
class TFlickerlessBorderedCustomControl : public QWidget {
  Q_OBJECT

public:
  explicit TFlickerlessBorderedCustomControl(QWidget* parent = nullptr);
  ~TFlickerlessBorderedCustomControl() override;

  QColor BackgroundColour() const { return FBackgroundColour; }
  void SetBackgroundColour(const QColor& colour);

  // Moves and sizes the control (parent coordinates) and brings W, H and the plot rectangle up
  // to date at once, even while the control is hidden; resizes and moves made through QWidget are
  // picked up when Qt reports them.
  void SetBounds(int left, int top, int width, int height);

  int W() const { return FW; }  // width - 2
  int H() const { return FH; }  // height - 2
  TRect PlotRect() const { return FPlotRect; }  // (1, 1, width - 1, height - 1)
  const QImage& Picture() const { return FPicture; }

  // Creates (once) and places the caption labels a display puts on its parent; call it once the
  // display has a parent.
  virtual void UpdateScaleLabels() {}
  // Draws the contents over the background; the brush is still the background colour.
  virtual void DrawDisplay(TCanvas& canvas) { (void)canvas; }

  // Hides QWidget::update for every change a display makes: the picture is then composed anew at
  // the next paint, not taken from a Redraw before the change.
  void update() {
    FFresh = false;
    QWidget::update();
  }
  // A new block for a live display: composes the picture now and repaints the bounding box of the
  // pixels that changed (nothing when none did). A hidden display only remembers to compose it
  // when shown.
  void Redraw();
  // The part of the control the last Redraw found changed (empty when nothing did).
  QRect RedrawnRect() const { return FRedrawn; }

protected:
  // Runs after every change of position or size, with W, H and the plot rectangle already new.
  virtual void BoundsChanged() {}

  // A display whose DrawDisplay is a fixed layer (grid, captions) and a trace over it may say so:
  // paints then copy the background with the layer, drawn once after every InvalidateLayer (and
  // change of size, background colour or font), and draw only the trace. The picture is the same
  // pixel for pixel; the copy costs less than drawing the layer anew.
  virtual bool HasLayer() const { return false; }
  virtual void DrawLayer(TCanvas& canvas) { (void)canvas; }
  virtual void DrawOverLayer(TCanvas& canvas) { (void)canvas; }
  void InvalidateLayer() { FLayerValid = false; }
  // After a paint from the layer: the PerfCounter ticks that the layer (drawn anew or copied)
  // and DrawOverLayer took together, what DrawDisplay would have cost.
  virtual void LayerPainted(int64_t ticks) { (void)ticks; }

  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

private:
  void SyncBounds();
  void ResetCanvas(TCanvas& canvas) const;
  // Composes the whole picture into FPicture at the control's size.
  void Compose();

  QColor FBackgroundColour{64, 64, 64};
  QImage FPicture;
  QImage FEarlier;  // the picture before the last Redraw's, to find what changed
  TCanvas FCanvas{&FPicture};
  bool FFresh = false;  // FPicture was composed by a Redraw that no paint has shown yet
  bool FShown = false;  // FPicture is what the screen shows, but for a Redraw's pending paint
  QRect FRedrawn;
  QImage FLayer;
  TCanvas FLayerCanvas{&FLayer};
  bool FLayerValid = false;
  // A layered picture differs from its layer (and the border) only within what DrawOverLayer
  // touched: the next compose into it restores just that, and two pictures over the same layer
  // differ only within what either touched. The layer a picture lies over, by the number of its
  // drawing (-1: none, or not known).
  int64_t FLayerNumber = 0;
  int64_t FPictureLayer = -1, FEarlierLayer = -1;
  TRect FPictureTouched, FEarlierTouched;
  QRect FBounds;
  int FW = -2;
  int FH = -2;
  TRect FPlotRect{1, 1, -1, -1};
};

// Row of level x on a meter of plot height h: MaxdB maps to row 1 and MindB to row h + 1,
// rounded half to even. An empty scale (mindB == maxdB) or a NaN level gives h + 1; rows far
// outside the plot are limited to +-2^24 so they stay representable.
int LevelMeterRow(double x, int maxdB, int mindB, int h);
// Levels of the horizontal grid lines, bottom to top; none unless mindB < maxdB and
// intervaldB > 0.
std::vector<int> LevelMeterGridLevels(int mindB, int maxdB, int intervaldB);
// Levels that get a scale caption, top to bottom: the multiples of intervaldB from maxdB down to
// mindB; none unless mindB < maxdB and intervaldB > 0.
std::vector<int> LevelMeterCaptionLevels(int mindB, int maxdB, int intervaldB);
// dB a bar falls in elapsedMs milliseconds at rateDbPerSecond.
float LevelMeterDecay(std::uint32_t elapsedMs, int rateDbPerSecond);

// Two vertical bars, left and right, on a fixed dB scale. A reading above the bar takes effect at
// once; otherwise the bar falls at DecayRate, repainted by DelayTimer every 125 ms until both bars
// are below MindB. A scale with MindB >= MaxdB shows the plain background; IntervaldB <= 0 gives
// no grid lines and no scale captions.
class TLevelMeter : public TFlickerlessBorderedCustomControl {
  Q_OBJECT

public:
  // Millisecond tick count; may wrap.
  using TTickClock = std::function<std::uint32_t()>;

  explicit TLevelMeter(QWidget* parent = nullptr);
  ~TLevelMeter() override;

  float LeftdB() const { return FLeftdB; }
  void SetLeftdB(float dB);
  float RightdB() const { return FRightdB; }
  void SetRightdB(float dB);
  int MaxdB() const { return FMaxdB; }
  virtual void SetMaxdB(int dB);
  int MindB() const { return FMindB; }
  virtual void SetMindB(int dB);
  int IntervaldB() const { return FIntervaldB; }
  void SetIntervaldB(int dB);
  QColor BarColour() const { return FBarColour; }
  void SetBarColour(const QColor& colour);
  int DecayRate() const { return FDecayRate; }  // dB per second
  void SetDecayRate(int dBPerSecond) { FDecayRate = dBPerSecond; }

  // While more BeginUpdate than EndUpdate calls are open, a paint leaves the plot area empty.
  void BeginUpdate();
  void EndUpdate();

  // The levels the bars show now.
  float DisplayedLeftdB() const { return FDisplayedLeft; }
  float DisplayedRightdB() const { return FDisplayedRight; }

  QTimer* DelayTimer() const { return FDelayTimer; }
  void DelayTimerTimer();

  // Replaces the time source (tests); the last paint time restarts from the new clock.
  void SetClock(TTickClock clock);

  void UpdateScaleLabels() override;
  void DrawDisplay(TCanvas& canvas) override;

protected:
  void BoundsChanged() override;

private:
  struct TCaption {
    QString Name;
    QString Text;
    int Level;    // dB, scale captions only
    int Channel;  // -1 for a scale caption, 0 left, 1 right
  };

  int Row(double dB) const { return LevelMeterRow(dB, FMaxdB, FMindB, H()); }
  QPoint CaptionPos(const TCaption& caption) const;
  void PlaceCaptions();

  float FLeftdB = -60.0f;
  float FRightdB = -60.0f;
  int FMaxdB = 0;
  int FMindB = -60;
  int FIntervaldB = 10;
  QColor FBarColour{255, 255, 192};
  int FDecayRate = 20;

  int FUpdateCount = 0;
  float FDisplayedLeft = -60.0f;
  float FDisplayedRight = -60.0f;
  // Readings written since the last drawn bars; only these may raise a bar.
  bool FLeftPending = false;
  bool FRightPending = false;
  TTickClock FClock;
  std::uint32_t FLastPaintTime = 0;
  QTimer* FDelayTimer = nullptr;
  bool FLabelsCreated = false;
  std::vector<TCaption> FCaptions;
};

// ---------------------------------------------------------------------------------------------
// Displays of captured audio

// Base of every display fed with captured blocks. It holds the link to the capture stream, two
// ready-to-draw point arrays and seven per-column work arrays of plot width W each (reallocated
// only when the width changes), and the settings the derived displays share.
class TAudioDisplay : public TFlickerlessBorderedCustomControl {
  Q_OBJECT

public:
  static constexpr int kColumnArrays = 7;

  explicit TAudioDisplay(QWidget* parent = nullptr);
  ~TAudioDisplay() override;

  int SampleRate() const { return FSampleRate; }  // Hz, fixed
  // Not owned; becomes null when the stream is destroyed.
  TWaveIn* Source() const { return FSource.data(); }
  // The source unless it is an analyser that feeds another display: a display nobody feeds
  // must neither stop, restart nor resize the capture another display relies on.
  TWaveIn* FeedingSource() const;
  QColor TraceColour() const { return FTraceColour; }
  void SetTraceColour(const QColor& colour);
  bool MovingAverage() const { return FMovingAverage; }
  int MaxdB() const { return FMaxdB; }
  int MindB() const { return FMindB; }

  // Changing it restarts the averaging.
  virtual void SetMovingAverage(bool value);
  // Restarts the averaging and discards the traces; derived displays size the stream's blocks.
  virtual void SetSource(TWaveIn* source);
  virtual void SetMaxdB(int dB);
  virtual void SetMindB(int dB);
  // frameCount interleaved stereo frames. continueFlag arrives true; a display clears it to ask
  // the caller to stop capturing. The base ignores the block.
  virtual void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag);
  // The same for frames held as (left, right) float pairs on the 16-bit scale.
  virtual void ProcessFloatSamples(const float* frames, int frameCount);

  // Blocks held in a derived display's moving average; 0 makes it start again.
  int AveragingCount() const { return FAveragingCount; }
  void SetAveragingCount(int count) { FAveragingCount = count; }

  int PointCount() const { return FPointCount; }
  std::span<const QPoint> LeftPoints() const { return {FLeftPoints.data(), StoredPoints()}; }
  std::span<const QPoint> RightPoints() const { return {FRightPoints.data(), StoredPoints()}; }
  // Work array 0 ... 6, W floats (empty before the control first had W >= 1).
  std::span<const float> ColumnArray(int index) const { return FColumns.at(index); }
  int LastColumn() const { return FLastColumn; }
  // The interleaved stereo frames the scopes' trace was drawn from (left first, 16-bit
  // values); empty before a trace and after a new source.
  std::span<const int16_t> ShownFrames() const { return FShownFrames; }

protected:
  void BoundsChanged() override;
  void KeepShownFrames(const int16_t* samples, int frames) {
    FShownFrames.assign(samples, samples + 2 * static_cast<std::size_t>(std::max(frames, 0)));
  }

  std::vector<QPoint> FLeftPoints, FRightPoints;
  std::vector<int16_t> FShownFrames;
  int FPointCount = 0;
  std::array<std::vector<float>, kColumnArrays> FColumns;
  int FLastColumn = 0;
  int FAveragingCount = 0;

private:
  std::size_t StoredPoints() const {
    return FPointCount <= 0 ? 0 : std::min<std::size_t>(FPointCount, FLeftPoints.size());
  }
  void AllocateArrays();

  int FSampleRate = kSampleRate;
  QPointer<TWaveIn> FSource;
  QColor FTraceColour{255, 255, 192};
  bool FMovingAverage = true;
  int FMaxdB = 0;
  int FMindB = -80;
  int FBoundsWidth = 0;
};

// Milliseconds per horizontal division.
enum TWaveformTimebase : int {
  wtb___1ms,
  wtb___2ms,
  wtb___5ms,
  wtb__10ms,
  wtb__20ms,
  wtb__50ms,
  wtb_100ms,
};

// ms per division of a time base; 0 for a value outside the seven.
int WaveformMsPerDivision(TWaveformTimebase timebase);
// LSB as the oscilloscope uses it: limited to 1 ... 512.
int WaveformClampLSB(int lsb);
// Rows from the centre row of sample value v on a plot of height h, upwards negative:
// round((1 - h) v / (lsb 256)), half to even; lsb below 1 counts as 1.
int WaveformRowOffset(int v, int lsb, int h);

struct TWaveformLayout {
  int SweepLength = 4410;  // frames shown across the 10 divisions
  int SampleRate = kSampleRate;
  int W = 0;               // plot width
  int H = 0;               // plot height
  int LSB = 256;           // 1 ... 512
  int TraceOffset = 0;     // rows: left trace up, right trace down
  bool Uncalibrated = false;
};

// Reduces the start of a block to one trace point per plot column and channel: each point is the
// truncated mean of a group of SweepLength / (SampleRate / 100) frames; only the first point that
// falls into a column is kept. left and right must hold W points. Returns the number stored.
int ReduceWaveform(const int16_t* samples, int frameCount, const TWaveformLayout& layout,
                   QPoint* left, QPoint* right);
// Amplitude caption of sample value v: "-32K" ... "32K", or the plain value below 1024.
QString WaveformAmplitudeCaption(int v);
// Time caption n (0 ... 10) of the time axis at msPerDivision.
QString WaveformTimeCaption(int n, int msPerDivision);

// The two-channel oscilloscope: 10 x 8 divisions, no trigger; each block of at least one sweep
// replaces both traces. Caption labels named objectName() + "_Y0" ... "_Y8" (amplitudes, left)
// and + "_X0" ... "_X10" (times, below) live on the parent.
class TWaveformDisplay : public TAudioDisplay {
  Q_OBJECT

public:
  explicit TWaveformDisplay(QWidget* parent = nullptr);
  ~TWaveformDisplay() override;

  TWaveformTimebase Timebase() const { return FTimebase; }
  // Discards the traces; a value outside the table selects wtb__10ms. Sizes the source's blocks
  // to max(sweep length, 4410) frames.
  void SetTimebase(TWaveformTimebase timebase);
  // One division is 32 LSB sample units. Blocks bring a stored value into 1 ... 512; drawing
  // always uses the limited value.
  int LSB() const { return FLSB; }
  void SetLSB(int lsb);
  int TraceOffset() const { return FTraceOffset; }  // pixels
  void SetTraceOffset(int pixels) { FTraceOffset = pixels; }
  bool SingleSweep() const { return FSingleSweep; }
  void SetSingleSweep(bool value) { FSingleSweep = value; }
  bool Uncalibrated() const { return FUncalibrated; }
  void SetUncalibrated(bool value) { FUncalibrated = value; }
  QColor TraceColorLeft() const { return FTraceColorLeft; }
  void SetTraceColorLeft(const QColor& colour) { FTraceColorLeft = colour; }
  QColor TraceColorRight() const { return FTraceColorRight; }
  void SetTraceColorRight(const QColor& colour) { FTraceColorRight = colour; }

  int MsPerDivision() const { return FMsPerDivision; }
  int SweepLength() const { return FSweepLength; }  // frames

  void SetSource(TWaveIn* source) override;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override;
  void ProcessFloatSamples(const float* frames, int frameCount) override;
  void UpdateScaleLabels() override;
  void DrawDisplay(TCanvas& canvas) override;

protected:
  void BoundsChanged() override;
  bool HasLayer() const override { return true; }
  void DrawLayer(TCanvas& canvas) override;  // the grid
  void DrawOverLayer(TCanvas& canvas) override;  // the traces

private:
  int RowOffset(int v) const { return WaveformRowOffset(v, WaveformClampLSB(FLSB), H()); }

  TWaveformTimebase FTimebase = wtb__10ms;
  int FLSB = 256;
  int FTraceOffset = 0;
  bool FSingleSweep = false;
  bool FUncalibrated = false;
  QColor FTraceColorLeft{0, 0, 255};
  QColor FTraceColorRight{255, 0, 0};
  int FMsPerDivision = 10;
  int FSweepLength = 4410;
  bool FLabelsCreated = false;
  std::vector<int16_t> FConversion;  // ProcessFloatSamples' frames, interleaved
  int FConversionFrames = 0;
};

// ---------------------------------------------------------------------------------------------
// Vector scope

// Scale of the vector scope on a plot whose smaller side is s pixels: s / 131072, so that a
// full-scale mono frame at gain 1 reaches the edge of the centred s x s square.
float VectorScopeScale(int squareSize);
// Plot point of the frame (left, right) at gain g on a w x h plot, k = k0 g:
// x = round((right - left) k + w div 2), y = round(h div 2 - (left + right) k), in extended
// precision, ties to even. Coordinates beyond +-2^24 are limited to it.
QPoint VectorScopeMap(int left, int right, float k0, float gain, int w, int h);
// Maps the first w frames of a block of at least w frames into points, keeping the first and
// the last frame and every frame that lands elsewhere than the point stored before it. points
// must hold w points. Returns the number stored; peak becomes the largest |sample| of those
// frames, at least 0.01.
int ReduceVectorScope(const int16_t* samples, int w, int h, float k0, float gain, QPoint* points,
                      float& peak);
// The gain for the block after one with this peak. Without AGC it is 1. Otherwise a gain above
// the target (32768 / peak, at most maxGain) drops to it at once; any other gain rises by
// decayPercent, even past the target, which the following block corrects.
float VectorScopeNextGain(float gain, float peak, bool agc, int maxGain, int decayPercent);

// X-Y display of a stereo signal: one point per frame, horizontal the difference and vertical
// the sum of the channels, so mono is a vertical line, anti-phase a horizontal one, and one
// channel alone a diagonal (left up to the left, right up to the right). Each block of at least
// W frames replaces the trace with its first W frames; the automatic gain found from a block
// applies from the next one on.
class TVectorScope : public TAudioDisplay {
  Q_OBJECT

public:
  explicit TVectorScope(QWidget* parent = nullptr);
  ~TVectorScope() override;

  bool AGC() const { return FAGC; }
  void SetAGC(bool value) { FAGC = value; }
  int AGCMaxGain() const { return FAGCMaxGain; }
  void SetAGCMaxGain(int gain) { FAGCMaxGain = gain; }
  int AGCDecayPercent() const { return FAGCDecayPercent; }  // % the gain rises per block
  void SetAGCDecayPercent(int percent) { FAGCDecayPercent = percent; }
  // A compass rose in place of the X-Y graticule; takes effect with the next paint.
  bool NavigationOverlay() const { return FNavigationOverlay; }
  void SetNavigationOverlay(bool value) {
    FNavigationOverlay = value;
    InvalidateLayer();
  }

  float Gain() const { return FGain; }  // applied to the next block
  int SquareSize() const { return FSquareSize; }  // min(W, H), pixels
  float Scale() const { return FScale; }  // k0 = SquareSize / 131072

  // Sizes the new source's blocks to 4410 frames (100 ms).
  void SetSource(TWaveIn* source) override;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override;
  void DrawDisplay(TCanvas& canvas) override;

protected:
  void BoundsChanged() override;
  bool HasLayer() const override { return true; }
  void DrawLayer(TCanvas& canvas) override;  // graticule or compass rose
  void DrawOverLayer(TCanvas& canvas) override;  // the trace

private:
  void UpdateScale();
  QPoint Map(int left, int right, float gain) const {
    return VectorScopeMap(left, right, FScale, gain, W(), H());
  }
  void DrawGraticule(TCanvas& canvas) const;
  void DrawCompassRose(TCanvas& canvas) const;

  bool FAGC = true;
  int FAGCMaxGain = 20;
  int FAGCDecayPercent = 10;
  bool FNavigationOverlay = false;
  float FGain = 1.0f;
  int FSquareSize = 0;
  float FScale = 0.0f;
};
