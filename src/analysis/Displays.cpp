#include "Displays.h"

#include <QLabel>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

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
  update();
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

void TFlickerlessBorderedCustomControl::paintEvent(QPaintEvent*) {
  if (!isVisible()) return;
  SyncBounds();
  const int width = this->width(), height = this->height();
  if (FPicture.size() != size()) FPicture = QImage(size(), QImage::Format_RGB32);
  if (FPicture.isNull()) return;

  FCanvas.RemoveClip();
  FCanvas.SetPenStyle(psSolid);
  FCanvas.SetBrushStyle(bsSolid);
  FCanvas.SetBrushColour(FBackgroundColour);
  FCanvas.FillRect(FPlotRect);

  DrawDisplay(FCanvas);

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

  QPainter(this).drawImage(0, 0, FPicture);
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
