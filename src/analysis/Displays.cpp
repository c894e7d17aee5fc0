#include "Displays.h"

#include "AudioAnalyser.h"

#include <QEvent>
#include <QPaintEvent>
#include <QFontInfo>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

// ---------------------------------------------------------------------------------------------
// TFlickerlessBorderedCustomControl

TFlickerlessBorderedCustomControl::TFlickerlessBorderedCustomControl(QWidget* parent)
    : QWidget(parent) {
  // Every paint covers the whole control, so Qt need not clear anything first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
  SyncBounds();
}

TFlickerlessBorderedCustomControl::~TFlickerlessBorderedCustomControl() = default;

void TFlickerlessBorderedCustomControl::SetBackgroundColour(const QColor& colour) {
  FBackgroundColour = colour;
  FLayerValid = false;
  update();
}

void TFlickerlessBorderedCustomControl::changeEvent(QEvent* event) {
  // Captions in the layer are drawn in the widget's font.
  if (event->type() == QEvent::FontChange) {
    FLayerValid = false;
    FFresh = false;
  }
  QWidget::changeEvent(event);
}

void TFlickerlessBorderedCustomControl::hideEvent(QHideEvent* event) {
  // What changes while hidden is not redrawn; the first paint when shown composes it all.
  FFresh = FShown = false;
  QWidget::hideEvent(event);
}

void TFlickerlessBorderedCustomControl::SetBounds(int left, int top, int width, int height) {
  setGeometry(left, top, width, height);
  // A hidden widget gets its resize and move events only when shown.
  SyncBounds();
}

void TFlickerlessBorderedCustomControl::SyncBounds() {
  const QRect bounds = geometry();
  if (bounds == FBounds) return;
  FBounds = bounds;
  FW = bounds.width() - 2;
  FH = bounds.height() - 2;
  FPlotRect = {1, 1, bounds.width() - 1, bounds.height() - 1};
  BoundsChanged();
}

void TFlickerlessBorderedCustomControl::resizeEvent(QResizeEvent*) { SyncBounds(); }

void TFlickerlessBorderedCustomControl::moveEvent(QMoveEvent*) { SyncBounds(); }

namespace {

// The bounding box of the pixels in which two pictures of one size and format differ.
// The bounding box of the pixels that differ between a and b, looked for within `within` alone
// (the pictures are the same outside it).
QRect ChangedRect(const QImage& a, const QImage& b, const TRect& within) {
  const int from = std::max(within.Left, 0), to = std::min(within.Right, a.width());
  if (from >= to) return QRect();
  const auto bytes = static_cast<std::size_t>(to - from) * 4;
  int top = -1, bottom = -1, left = to, right = from - 1;
  for (int y = std::max(within.Top, 0); y < std::min(within.Bottom, a.height()); ++y) {
    const auto* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
    const auto* q = reinterpret_cast<const QRgb*>(b.constScanLine(y));
    if (std::memcmp(p + from, q + from, bytes) == 0) continue;
    if (top < 0) top = y;
    bottom = y;
    int x = from;
    while (x < left && p[x] == q[x]) ++x;
    left = std::min(left, x);
    x = to - 1;
    while (x > right && p[x] == q[x]) --x;
    right = std::max(right, x);
  }
  return top < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

TRect Union(const TRect& a, const TRect& b) {
  if (a.IsEmpty()) return b;
  if (b.IsEmpty()) return a;
  return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right), std::max(a.Bottom, b.Bottom)};
}

}  // namespace

void TFlickerlessBorderedCustomControl::Redraw() {
  FRedrawn = QRect();
  if (!isVisible() || width() <= 0 || height() <= 0) {
    update();
    return;
  }
  // The last picture is compared with only when the screen shows it (or a paint still pending
  // will), so that a pixel left out of the repaint is one the screen already has.
  const bool comparable = FShown && FPicture.size() == size();
  if (comparable) {
    std::swap(FPicture, FEarlier);
    std::swap(FPictureLayer, FEarlierLayer);
    std::swap(FPictureTouched, FEarlierTouched);
  }
  Compose();
  if (FPicture.isNull()) return;
  FFresh = true;
  const bool overSameLayer = FPictureLayer >= 0 && FPictureLayer == FEarlierLayer && FEarlier.size() == FPicture.size();
  const TRect within = overSameLayer ? Union(FPictureTouched, FEarlierTouched) : TRect{0, 0, width(), height()};
  FRedrawn = comparable ? ChangedRect(FPicture, FEarlier, within) : rect();
  if (!FRedrawn.isEmpty()) QWidget::update(FRedrawn);
}

void TFlickerlessBorderedCustomControl::paintEvent(QPaintEvent* event) {
  if (!isVisible()) return;
  SyncBounds();
  // Any paint but a Redraw's composes anew, as a display may draw what changed with time alone.
  if (!FFresh || FPicture.size() != size()) Compose();
  FFresh = false;
  if (FPicture.isNull()) return;
  FShown = true;
  const QRect r = event->rect();
  QPainter(this).drawImage(r.topLeft(), FPicture, r);
}

void TFlickerlessBorderedCustomControl::Compose() {
  SyncBounds();
  const int width = this->width(), height = this->height();
  if (FPicture.size() != size()) {
    FPicture = QImage(size(), QImage::Format_RGB32);
    FPictureLayer = -1;
  }
  if (FPicture.isNull()) return;

  if (HasLayer()) {
    const int64_t started = PerfCounter();
    if (!FLayerValid || FLayer.size() != FPicture.size()) {
      if (FLayer.size() != FPicture.size()) FLayer = QImage(FPicture.size(), QImage::Format_RGB32);
      ResetCanvas(FLayerCanvas);
      FLayerCanvas.FillRect(FPlotRect);
      DrawLayer(FLayerCanvas);
      FLayerValid = true;
      ++FLayerNumber;
    }
    if (FPictureLayer == FLayerNumber) {
      const TRect& r = FPictureTouched;
      for (int y = r.Top; y < r.Bottom; ++y)
        std::memcpy(reinterpret_cast<QRgb*>(FPicture.scanLine(y)) + r.Left,
                    reinterpret_cast<const QRgb*>(FLayer.constScanLine(y)) + r.Left,
                    static_cast<std::size_t>(r.Width()) * 4);
    } else {
      std::memcpy(FPicture.bits(), FLayer.constBits(), static_cast<std::size_t>(FPicture.sizeInBytes()));
    }
    ResetCanvas(FCanvas);
    FCanvas.ForgetTouched();
    DrawOverLayer(FCanvas);
    FPictureTouched = FCanvas.Touched();
    FPictureLayer = FLayerNumber;
    LayerPainted(PerfCounter() - started);
  } else {
    FPictureLayer = -1;
    ResetCanvas(FCanvas);
    FCanvas.FillRect(FPlotRect);
    DrawDisplay(FCanvas);
  }

  // Last, so that contents straying outside the plot area are covered.
  FCanvas.RemoveClip();
  FCanvas.SetPenStyle(psSolid);
  FCanvas.SetPenColour(Qt::black);
  FCanvas.MoveTo(width - 1, 0);
  FCanvas.LineTo(0, 0);
  FCanvas.LineTo(0, height);
  FCanvas.SetPenColour(Qt::white);
  FCanvas.MoveTo(0, height - 1);
  FCanvas.LineTo(width - 1, height - 1);
  FCanvas.LineTo(width - 1, -1);
}

void TFlickerlessBorderedCustomControl::ResetCanvas(TCanvas& canvas) const {
  canvas.RemoveClip();
  canvas.SetPenStyle(psSolid);
  canvas.SetBrushStyle(bsSolid);
  canvas.SetBrushColour(FBackgroundColour);
}

// ---------------------------------------------------------------------------------------------
// Level meter helpers

int LevelMeterRow(double x, int maxdB, int mindB, int h) {
  if (mindB == maxdB || std::isnan(x)) return h + 1;
  const long double row = std::nearbyint((static_cast<long double>(x) - maxdB) * h /
                                         (static_cast<long double>(mindB) - maxdB));
  if (std::isnan(row)) return h + 1;
  constexpr long double limit = 1 << 24;
  return static_cast<int>(std::clamp(row, -limit, limit)) + 1;
}

std::vector<int> LevelMeterGridLevels(int mindB, int maxdB, int intervaldB) {
  std::vector<int> levels;
  if (mindB >= maxdB || intervaldB <= 0) return levels;
  const long long step = intervaldB;
  long long v = ((mindB - step) / step) * step + step;
  while (v + step < maxdB) {
    v += step;
    levels.push_back(static_cast<int>(v));
  }
  return levels;
}

std::vector<int> LevelMeterCaptionLevels(int mindB, int maxdB, int intervaldB) {
  std::vector<int> levels;
  if (mindB >= maxdB || intervaldB <= 0) return levels;
  const long long step = intervaldB;
  long long v = maxdB / step * step;
  if (v > maxdB) v -= step;
  for (; v >= mindB; v -= step) levels.push_back(static_cast<int>(v));
  return levels;
}

float LevelMeterDecay(std::uint32_t elapsedMs, int rateDbPerSecond) {
  // 64-bit product: a 32-bit one turns negative after a day without paints and would lift the
  // bars instead of lowering them.
  const long long product = static_cast<long long>(elapsedMs) * rateDbPerSecond;
  return static_cast<float>(static_cast<long double>(product) / 1000.0L);
}

// ---------------------------------------------------------------------------------------------
// TLevelMeter

namespace {

std::uint32_t SteadyTicks() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

TLevelMeter::TLevelMeter(QWidget* parent)
    : TFlickerlessBorderedCustomControl(parent), FClock(SteadyTicks) {
  FDelayTimer = new QTimer(this);
  FDelayTimer->setObjectName(QStringLiteral("DelayTimer"));
  FDelayTimer->setInterval(125);
  connect(FDelayTimer, &QTimer::timeout, this, &TLevelMeter::DelayTimerTimer);
  FLastPaintTime = FClock();
  FDisplayedLeft = static_cast<float>(FMindB);
  FDisplayedRight = static_cast<float>(FMindB);
}

TLevelMeter::~TLevelMeter() {
  FDelayTimer->stop();
  disconnect(FDelayTimer, nullptr, this, nullptr);
}

void TLevelMeter::SetLeftdB(float dB) {
  FLeftdB = dB;
  FLeftPending = true;
  update();
}

void TLevelMeter::SetRightdB(float dB) {
  FRightdB = dB;
  FRightPending = true;
  update();
}

void TLevelMeter::SetMaxdB(int dB) {
  FMaxdB = dB;
  update();
}

void TLevelMeter::SetMindB(int dB) {
  FMindB = dB;
  update();
}

void TLevelMeter::SetIntervaldB(int dB) {
  FIntervaldB = dB;
  update();
}

void TLevelMeter::SetBarColour(const QColor& colour) {
  FBarColour = colour;
  update();
}

void TLevelMeter::BeginUpdate() { ++FUpdateCount; }

void TLevelMeter::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
}

void TLevelMeter::DelayTimerTimer() {
  FDelayTimer->stop();
  update();
}

void TLevelMeter::SetClock(TTickClock clock) {
  FClock = clock ? std::move(clock) : TTickClock(SteadyTicks);
  FLastPaintTime = FClock();
}

void TLevelMeter::DrawDisplay(TCanvas& canvas) {
  if (FUpdateCount > 0) return;
  FDelayTimer->stop();

  const std::uint32_t now = FClock();
  const float decay = LevelMeterDecay(now - FLastPaintTime, FDecayRate);
  FDisplayedLeft -= decay;
  FDisplayedRight -= decay;
  // A reading raises a bar only once: a stored value that is not renewed must not hold the bar
  // up, or the bars would never fall and the timer never stop.
  if (FLeftPending && FLeftdB > FDisplayedLeft) FDisplayedLeft = FLeftdB;
  if (FRightPending && FRightdB > FDisplayedRight) FDisplayedRight = FRightdB;
  FLeftPending = FRightPending = false;
  FLastPaintTime = now;

  if (FMindB >= FMaxdB) return;

  canvas.SetBrushStyle(bsSolid);
  canvas.SetBrushColour(FBarColour);
  const int half = (W() + 1) / 2;
  canvas.FillRect({3, Row(FDisplayedLeft), half - 2, height() - 1});
  canvas.FillRect({half + 2, Row(FDisplayedRight), W() - 2, height() - 1});

  canvas.SetPenStyle(psSolid);
  canvas.SetPenColour(QColor(192, 192, 192));
  for (int level : LevelMeterGridLevels(FMindB, FMaxdB, FIntervaldB)) {
    const int row = Row(level);
    canvas.MoveTo(1, row);
    canvas.LineTo(width() - 1, row);
  }

  if (FDisplayedLeft >= FMindB || FDisplayedRight >= FMindB) FDelayTimer->start();
}

QPoint TLevelMeter::CaptionPos(const TCaption& caption) const {
  const QRect bounds = geometry();
  if (caption.Channel < 0)
    return {bounds.left() + bounds.width() + 2, Row(caption.Level) + bounds.top() - 5};
  return {bounds.left() + (3 * caption.Channel + 1) * bounds.width() / 6,
          bounds.top() + bounds.height() + 2};
}

void TLevelMeter::UpdateScaleLabels() {
  QWidget* parent = parentWidget();
  if (FLabelsCreated || !parent) return;
  FCaptions.clear();
  for (int level : LevelMeterCaptionLevels(FMindB, FMaxdB, FIntervaldB)) {
    const long long index = std::llabs(static_cast<long long>(level) / FIntervaldB);
    FCaptions.push_back({objectName() + '_' + QString::number(index), QString::number(level),
                         level, -1});
  }
  FCaptions.push_back({objectName() + QStringLiteral("_L"), QStringLiteral("L"), 0, 0});
  FCaptions.push_back({objectName() + QStringLiteral("_R"), QStringLiteral("R"), 0, 1});

  for (const TCaption& caption : FCaptions) {
    auto* label = new QLabel(caption.Text, parent);
    label->setObjectName(caption.Name);
    if (caption.Channel >= 0) {
      QPalette palette = label->palette();
      palette.setColor(QPalette::WindowText,
                       caption.Channel == 0 ? QColor(0, 0, 255) : QColor(255, 0, 0));
      label->setPalette(palette);
    }
    label->adjustSize();
    label->move(CaptionPos(caption));
    label->show();
  }
  FLabelsCreated = true;
}

void TLevelMeter::BoundsChanged() { PlaceCaptions(); }

void TLevelMeter::PlaceCaptions() {
  QWidget* parent = parentWidget();
  if (!FLabelsCreated || !parent) return;
  for (const TCaption& caption : FCaptions) {
    // With MaxdB above 0, +v and -v share a name; the text tells them apart.
    const auto labels = parent->findChildren<QLabel*>(caption.Name, Qt::FindDirectChildrenOnly);
    for (QLabel* label : labels)
      if (label->text() == caption.Text) {
        label->move(CaptionPos(caption));
        break;
      }
  }
}

// ---------------------------------------------------------------------------------------------
// TAudioDisplay

TAudioDisplay::TAudioDisplay(QWidget* parent) : TFlickerlessBorderedCustomControl(parent) {
  // The base's geometry is already set, but its constructor could not reach BoundsChanged here.
  FBoundsWidth = width();
  if (W() >= 1) AllocateArrays();
}

TAudioDisplay::~TAudioDisplay() = default;

void TAudioDisplay::AllocateArrays() {
  FPointCount = 0;
  const std::size_t w = static_cast<std::size_t>(W());
  // Fresh vectors rather than resize: the old storage is given back at once.
  FLeftPoints = std::vector<QPoint>(w);
  FRightPoints = std::vector<QPoint>(w);
  for (auto& column : FColumns) column = std::vector<float>(w);
}

void TAudioDisplay::BoundsChanged() {
  const int previous = FBoundsWidth;
  FBoundsWidth = width();
  if (FBoundsWidth == previous || W() < 1) return;
  AllocateArrays();
}

void TAudioDisplay::SetTraceColour(const QColor& colour) {
  FTraceColour = colour;
  update();
}

void TAudioDisplay::SetMovingAverage(bool value) {
  if (value == FMovingAverage) return;
  FMovingAverage = value;
  FAveragingCount = 0;
}

void TAudioDisplay::SetSource(TWaveIn* source) {
  FSource = source;
  FAveragingCount = 0;
  FPointCount = 0;
  FShownFrames.clear();
}

TWaveIn* TAudioDisplay::FeedingSource() const {
  TWaveIn* source = Source();
  const auto* analyser = dynamic_cast<const TBasicAudioAnalyser*>(source);
  if (analyser && analyser->Display() && analyser->Display() != this) return nullptr;
  return source;
}

// A grid in a display's layer follows the scale.
void TAudioDisplay::SetMaxdB(int dB) {
  FMaxdB = dB;
  InvalidateLayer();
}

void TAudioDisplay::SetMindB(int dB) {
  FMindB = dB;
  InvalidateLayer();
}

void TAudioDisplay::ProcessSamples(const int16_t*, int, bool&) {}

void TAudioDisplay::ProcessFloatSamples(const float*, int) {}

// ---------------------------------------------------------------------------------------------
// Waveform helpers

int WaveformMsPerDivision(TWaveformTimebase timebase) {
  static constexpr int ms[] = {1, 2, 5, 10, 20, 50, 100};
  const int t = static_cast<int>(timebase);
  return t >= 0 && t < static_cast<int>(std::size(ms)) ? ms[t] : 0;
}

int WaveformClampLSB(int lsb) { return std::clamp(lsb, 1, 512); }

int WaveformRowOffset(int v, int lsb, int h) {
  // Exact rational rounding: the same rows as the division in extended precision (a quotient
  // that is not a tie lies at least 1 / (256 lsb) from one), without a libm call per point.
  const long long n = (1LL - h) * v;
  const long long d = 256LL * std::max(lsb, 1);
  long long q = n / d, r = n % d;
  if (r < 0) {
    --q;
    r += d;
  }
  if (2 * r > d || (2 * r == d && (q & 1) != 0)) ++q;
  // Far beyond any plot; keeps the result an int for absurd inputs.
  constexpr long long limit = 1 << 24;
  return static_cast<int>(std::clamp(q, -limit, limit));
}

int ReduceWaveform(const int16_t* samples, int frameCount, const TWaveformLayout& layout,
                   QPoint* left, QPoint* right) {
  const int P = layout.SampleRate / 100;
  if (P < 2 || layout.W < 1 || frameCount < layout.SweepLength) return 0;
  const int A = layout.SweepLength / P;
  if (A < 1) return 0;
  int points = P;
  if (layout.Uncalibrated) points = std::min(layout.W, frameCount / A);

  constexpr long long limit = 1 << 24;
  const long long h = layout.H / 2;
  const int leftBase = static_cast<int>(std::clamp(h - layout.TraceOffset, -limit, limit));
  const int rightBase = static_cast<int>(std::clamp(h + layout.TraceOffset, -limit, limit));

  int stored = 0;
  int lastX = -1;
  const int16_t* p = samples;
  for (int j = 0; j < points; ++j, p += 2 * A) {
    const int x = layout.Uncalibrated
                      ? j
                      : static_cast<int>(static_cast<long long>(j) * (layout.W - 1) / (P - 1));
    if (x == lastX) continue;  // only the first point of a column counts
    lastX = x;
    long long sumLeft = 0, sumRight = 0;
    for (int k = 0; k < A; ++k) {
      sumLeft += p[2 * k];
      sumRight += p[2 * k + 1];
    }
    const int meanLeft = static_cast<int>(sumLeft / A), meanRight = static_cast<int>(sumRight / A);
    left[stored] = QPoint(x + 1, WaveformRowOffset(meanLeft, layout.LSB, layout.H) + leftBase + 1);
    right[stored] = QPoint(x + 1, WaveformRowOffset(meanRight, layout.LSB, layout.H) + rightBase + 1);
    ++stored;
  }
  return stored;
}

QString WaveformAmplitudeCaption(int v) {
  if (std::abs(v) < 1024) return QString::number(v);
  return QString::number(v / 1024) + QLatin1Char('K');
}

QString WaveformTimeCaption(int n, int msPerDivision) {
  const int v = n * msPerDivision;
  QString text = msPerDivision < 100 ? QString::number(v) : QLocale().toString(v / 1000.0, 'f', 1);
  if (n == 10) text += msPerDivision < 100 ? QStringLiteral("ms") : QStringLiteral("s");
  return text;
}

// ---------------------------------------------------------------------------------------------
// TWaveformDisplay

TWaveformDisplay::TWaveformDisplay(QWidget* parent) : TAudioDisplay(parent) {
  SetTimebase(wtb__10ms);
}

TWaveformDisplay::~TWaveformDisplay() = default;

void TWaveformDisplay::SetSource(TWaveIn* source) {
  TAudioDisplay::SetSource(source);
  SetTimebase(FTimebase);
}

void TWaveformDisplay::SetTimebase(TWaveformTimebase timebase) {
  FAveragingCount = 0;
  FPointCount = 0;
  FTimebase = timebase;
  FMsPerDivision = WaveformMsPerDivision(timebase);
  if (FMsPerDivision == 0) {
    FMsPerDivision = 10;
    FTimebase = wtb__10ms;
  }
  if (isVisible() && FLabelsCreated) UpdateScaleLabels();
  FSweepLength = 441 * FMsPerDivision;
  // The traces were discarded; without this the old ones stayed up under the new captions.
  update();
  if (TWaveIn* source = FeedingSource()) source->SetBufferSamples(std::max(FSweepLength, 4410));
}

void TWaveformDisplay::SetLSB(int lsb) {
  FLSB = lsb;
  InvalidateLayer();
  if (isVisible() && FLabelsCreated) UpdateScaleLabels();
}

void TWaveformDisplay::ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) {
  if (frameCount < FSweepLength) return;
  FLSB = WaveformClampLSB(FLSB);
  TWaveformLayout layout;
  layout.SweepLength = FSweepLength;
  layout.SampleRate = SampleRate();
  layout.W = std::min<int>(W(), static_cast<int>(FLeftPoints.size()));
  layout.H = H();
  layout.LSB = FLSB;
  layout.TraceOffset = FTraceOffset;
  layout.Uncalibrated = FUncalibrated;
  FPointCount = ReduceWaveform(samples, frameCount, layout, FLeftPoints.data(), FRightPoints.data());
  KeepShownFrames(samples, FPointCount > 0 ? FSweepLength : 0);
  continueFlag = !FSingleSweep;
  Redraw();
}

void TWaveformDisplay::ProcessFloatSamples(const float* frames, int frameCount) {
  frameCount = std::max(frameCount, 0);
  if (frameCount != FConversionFrames) {
    FConversion = std::vector<int16_t>(2 * static_cast<std::size_t>(frameCount));
    FConversionFrames = frameCount;
  }
  for (std::size_t i = 0; i < FConversion.size(); ++i)
    // llrint is defined (if unspecified) for out-of-range values, where a cast is not.
    FConversion[i] = static_cast<int16_t>(static_cast<uint16_t>(std::llrint(frames[i])));
  if (frameCount >= FSweepLength) {
    bool continueFlag = true;
    ProcessSamples(FConversion.data(), frameCount, continueFlag);
  }
}

void TWaveformDisplay::DrawDisplay(TCanvas& canvas) {
  DrawLayer(canvas);
  DrawOverLayer(canvas);
}

void TWaveformDisplay::DrawLayer(TCanvas& canvas) {
  canvas.SetPenStyle(psSolid);
  canvas.SetPenColour(QColor(0, 255, 0));
  const int lsb = WaveformClampLSB(FLSB);
  for (int i = -3; i <= 3; ++i) {
    const int y = RowOffset(i * lsb * 32) + H() / 2 + 1;
    canvas.MoveTo(1, y);
    canvas.LineTo(width() - 1, y);
  }
  for (int i = 1; i <= 9; ++i) {
    const int x = i * W() / 10 + 1;
    canvas.MoveTo(x, 1);
    canvas.LineTo(x, H() + 1);
  }
}

void TWaveformDisplay::DrawOverLayer(TCanvas& canvas) {
  if (PointCount() > 0) {
    canvas.SetPenStyle(psSolid);
    canvas.SetPenColour(FTraceColorLeft);
    canvas.Polyline(LeftPoints());
    canvas.SetPenColour(FTraceColorRight);
    canvas.Polyline(RightPoints());
  }
}

void TWaveformDisplay::UpdateScaleLabels() {
  QWidget* parent = parentWidget();
  if (!parent) return;
  const QString name = objectName();
  if (!FLabelsCreated) {
    auto create = [&](const QString& suffix) {
      auto* label = new QLabel(parent);
      label->setObjectName(name + suffix);
      label->hide();
    };
    for (int k = 0; k <= 8; ++k) create(QStringLiteral("_Y") + QString::number(k));
    for (int n = 0; n <= 10; ++n) create(QStringLiteral("_X") + QString::number(n));
    FLabelsCreated = true;
  }
  auto find = [&](const QString& suffix) {
    return parent->findChild<QLabel*>(name + suffix, Qt::FindDirectChildrenOnly);
  };
  const QRect bounds = geometry();
  const int lsb = WaveformClampLSB(FLSB);
  QLabel* captions[9] = {};
  for (int i = -4; i <= 4; ++i) {
    QLabel* label = find(QStringLiteral("_Y") + QString::number(i + 4));
    if (label) label->setText(WaveformAmplitudeCaption(i * lsb * 32));
    captions[i + 4] = label;
  }
  // Captions wider than the room left of the display ("-32K" beside a display 24 pixels from
  // the edge) all get a smaller font, so that none covers the border or is cut off.
  QFont font = parent->font();
  int pixels = QFontInfo(font).pixelSize();
  auto widest = [&] {
    int w = 0;
    for (QLabel* label : captions) {
      if (!label) continue;
      label->setFont(font);
      w = std::max(w, label->sizeHint().width());
    }
    return w;
  };
  while (widest() > bounds.left() - 1 && pixels > 6) font.setPixelSize(--pixels);
  for (int i = -4; i <= 4; ++i) {
    QLabel* label = captions[i + 4];
    if (!label) continue;
    const int v = i * lsb * 32;
    label->adjustSize();
    int left = bounds.left() - label->width() - 4;
    // Where the documented 4-pixel gap does not fit, a 1-pixel gap does.
    if (left < 0) left = std::max(0, bounds.left() - label->width() - 1);
    label->move(left, RowOffset(v) + bounds.height() / 2 + bounds.top() - 6);
    label->show();
  }
  for (int n = 0; n <= 10; ++n) {
    QLabel* label = find(QStringLiteral("_X") + QString::number(n));
    if (!label) continue;
    label->setText(WaveformTimeCaption(n, FMsPerDivision));
    label->adjustSize();
    label->move(bounds.left() + n * W() / 10 - label->width() / 2,
                bounds.top() + bounds.height() + 4);
    label->show();
  }
}

void TWaveformDisplay::BoundsChanged() {
  TAudioDisplay::BoundsChanged();
  // The captions keep their places beside the display when it moves or changes size.
  if (FLabelsCreated) UpdateScaleLabels();
}

// ---------------------------------------------------------------------------------------------
// Vector scope helpers

namespace {

// Far beyond any plot; keeps a coordinate an int however large the gain or the plot. llrint
// rounds as nearbyint does (to nearest, ties to even) without saving and restoring the floating
// point environment on every call.
int RoundCoordinate(long double v) {
  constexpr long double limit = 1 << 24;
  return static_cast<int>(std::llrint(std::clamp(v, -limit, limit)));
}

QPoint MapFrame(int left, int right, long double k, long double cx, long double cy) {
  return {RoundCoordinate((right - left) * k + cx), RoundCoordinate(cy - (left + right) * k)};
}

}  // namespace

float VectorScopeScale(int squareSize) { return static_cast<float>(squareSize / 131072.0L); }

QPoint VectorScopeMap(int left, int right, float k0, float gain, int w, int h) {
  return MapFrame(left, right, static_cast<long double>(k0) * gain, w / 2, h / 2);
}

int ReduceVectorScope(const int16_t* samples, int w, int h, float k0, float gain, QPoint* points,
                      float& peak) {
  peak = 0.01f;
  const long double k = static_cast<long double>(k0) * gain;
  const long double cx = w / 2, cy = h / 2;
  int stored = 0;
  for (int i = 0; i < w; ++i) {
    const int left = samples[2 * i], right = samples[2 * i + 1];
    peak = std::max({peak, static_cast<float>(std::abs(left)), static_cast<float>(std::abs(right))});
    const QPoint p = MapFrame(left, right, k, cx, cy);
    // The last frame is kept even on the pixel before it, so the trace ends where the block does.
    if (i == 0 || i == w - 1 || p != points[stored - 1]) points[stored++] = p;
  }
  return stored;
}

float VectorScopeNextGain(float gain, float peak, bool agc, int maxGain, int decayPercent) {
  if (!agc) return 1.0f;
  float target = 32768.0f / peak;
  if (static_cast<long double>(maxGain) < target) target = static_cast<float>(maxGain);
  if (target < gain) return target;
  return static_cast<float>(gain * (100.0L + decayPercent) / 100.0L);
}

// ---------------------------------------------------------------------------------------------
// TVectorScope

TVectorScope::TVectorScope(QWidget* parent) : TAudioDisplay(parent) { UpdateScale(); }

TVectorScope::~TVectorScope() = default;

void TVectorScope::UpdateScale() {
  if (W() <= 0 || H() <= 0) return;
  FSquareSize = std::min(W(), H());
  FScale = VectorScopeScale(FSquareSize);
  InvalidateLayer();
}

void TVectorScope::BoundsChanged() {
  TAudioDisplay::BoundsChanged();
  UpdateScale();
  FPointCount = 0;
  update();
}

void TVectorScope::SetSource(TWaveIn* source) {
  TAudioDisplay::SetSource(source);
  if (TWaveIn* stream = Source()) stream->SetBufferSamples(4410);
}

void TVectorScope::ProcessSamples(const int16_t* samples, int frameCount, bool&) {
  const int w = W();
  if (frameCount < w) return;
  float peak = 0.01f;
  FPointCount = 0;
  if (w > 0 && FLeftPoints.size() >= static_cast<std::size_t>(w))
    FPointCount = ReduceVectorScope(samples, w, H(), FScale, FGain, FLeftPoints.data(), peak);
  KeepShownFrames(samples, FPointCount > 0 ? w : 0);
  // Drawn as the block was reduced, before the gain follows it.
  Redraw();
  FGain = VectorScopeNextGain(FGain, peak, FAGC, FAGCMaxGain, FAGCDecayPercent);
}

void TVectorScope::DrawDisplay(TCanvas& canvas) {
  DrawLayer(canvas);
  DrawOverLayer(canvas);
}

void TVectorScope::DrawLayer(TCanvas& canvas) {
  const QColor green(0, 255, 0);
  canvas.SetFont(font());
  canvas.SetPenColour(green);
  canvas.SetFontColour(green);
  if (FNavigationOverlay)
    DrawCompassRose(canvas);
  else
    DrawGraticule(canvas);
}

void TVectorScope::DrawOverLayer(TCanvas& canvas) {
  if (PointCount() > 0) {
    canvas.SetPenStyle(psSolid);
    canvas.SetPenColour(TraceColour());
    canvas.Polyline(LeftPoints());
  }
}

void TVectorScope::DrawGraticule(TCanvas& canvas) const {
  // At gain 1 whatever the trace's gain: the axes mark full scale.
  auto line = [&](int l0, int r0, int l1, int r1) {
    const QPoint from = Map(l0, r0, 1.0f), to = Map(l1, r1, 1.0f);
    canvas.MoveTo(from.x(), from.y());
    canvas.LineTo(to.x(), to.y());
  };
  canvas.SetPenStyle(psDot);
  line(-32767, -32767, 32767, 32767);  // mono
  line(32767, -32767, -32767, 32767);  // anti-phase
  canvas.SetPenStyle(psSolid);
  line(-55000, 0, 55000, 0);  // left channel alone
  line(0, -55000, 0, 55000);  // right channel alone
  const int t = canvas.TextWidth(QStringLiteral("L"));
  canvas.TextOut(t + (width() - FSquareSize) / 2, 2, QStringLiteral("L"));
  canvas.TextOut((width() + FSquareSize) / 2 - t - 2, 2, QStringLiteral("R"));
}

void TVectorScope::DrawCompassRose(TCanvas& canvas) const {
  const long double cx = W() / 2, cy = H() / 2;
  const float r = static_cast<float>(width() / 2.0L - canvas.TextWidth(QStringLiteral("00")));
  const long double turn = 2 * std::numbers::pi_v<long double>;
  // Bearings clockwise from straight up.
  auto at = [&](float angle, long double radius) {
    const long double a = angle;
    return QPoint(RoundCoordinate(std::sin(a) * radius + cx),
                  RoundCoordinate(cy - std::cos(a) * radius));
  };
  for (int i = 0; i < 36; ++i) {
    const QPoint p = at(static_cast<float>(10.0L * i / 360.0L * turn), r);
    const QString text = QString::number(10 * i);
    canvas.TextOut(p.x() - canvas.TextWidth(text) / 2, p.y() - canvas.TextHeight(text) / 2, text);
  }
  for (int i = 0; i < 16; ++i) {
    canvas.SetPenStyle(i % 2 != 0 ? psDot : psSolid);
    const float angle = static_cast<float>(static_cast<long double>(i) / 16 * turn);
    const QPoint from = at(angle, 0.05L * r), to = at(angle, 0.9L * r);
    canvas.MoveTo(from.x(), from.y());
    canvas.LineTo(to.x(), to.y());
  }
  canvas.SetPenStyle(psSolid);
}
