// The display control family: the bordered, flicker-free base and the two-channel level meter.
// GUI thread only. Coordinates are pixels from the control's top-left corner; levels are dB.
#pragma once

#include "Canvas.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QTimer;

// A one-pixel sunken border around a plot area in BackgroundColour. Every paint composes the whole
// picture off-screen (background, DrawDisplay, then the border over it) and copies it to the
// screen in one go; a derived display only overrides DrawDisplay.
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

protected:
  // Runs after every change of position or size, with W, H and the plot rectangle already new.
  virtual void BoundsChanged() {}

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

private:
  void SyncBounds();

  QColor FBackgroundColour{64, 64, 64};
  QImage FPicture;
  TCanvas FCanvas{&FPicture};
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
