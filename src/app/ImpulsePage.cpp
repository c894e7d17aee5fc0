// The "Impulse response" page: its display, its controls, and the run that plays synchronised
// sweeps through the tone generator's stream while the analyser captures them.
#include "ImpulsePage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "AudioAnalyser.h"
#include "DisplayResponse.h"
#include "FileDialogs.h"
#include "MainForm.h"
#include "Messages.h"
#include "ToneGenerator.h"
#include "WaveFile.h"
#include "Widgets.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const QColor kBackground(255, 255, 255);
const QColor kGrid(200, 200, 200);
const QColor kCaption(64, 64, 64);
const QColor kChannelColour[3] = {QColor(0, 0, 255), QColor(255, 0, 0), QColor(128, 0, 128)};
const QColor kLoadedColour(0, 160, 0);
const QColor kWindowShade(255, 244, 200);
const QColor kHarmonicColour[4] = {QColor(255, 0, 0), QColor(0, 0, 255), QColor(0, 160, 0),
                                   QColor(200, 120, 0)};

double ToDeg(double radians) { return radians * 180 / std::numbers::pi; }
double WrapDeg(double d) {
  d -= 360 * std::floor(d / 360);  // [0, 360)
  return d > 180 ? d - 360 : d;
}
double PowerdB(double power) { return power > 0 ? 10 * std::log10(power) : -300; }

// A step of 1, 2 or 5 times a power of ten giving about `lines` divisions over span.
double NiceStep(double span, int lines) {
  const double raw = span / std::max(lines, 1);
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw) return m * p;
  return 10 * p;
}

QString Number(double v, double step) {
  const int decimals = step >= 1 ? 0 : std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 4);
  return QString::number(v, 'f', decimals);
}

const char* ViewCaption(TImpulseView view) {
  switch (view) {
    case TImpulseView::Impulse: return "Impulse response";
    case TImpulseView::ImpulsedB: return "Impulse response, dB";
    case TImpulseView::Magnitude: return "Magnitude, dB";
    case TImpulseView::Phase: return "Phase, degrees";
    case TImpulseView::GroupDelay: return "Group delay, ms";
    case TImpulseView::Distortion: return "Harmonics, dB re the fundamental";
  }
  return "";
}

bool FrequencyView(TImpulseView v) { return v != TImpulseView::Impulse && v != TImpulseView::ImpulsedB; }

}  // namespace

std::vector<double> ResponseFileFrequencies(double f1, double f2) {
  // 48 points an octave: the file read back between its points by straight lines in log
  // frequency then follows the response to within a few hundredths of a dB.
  std::vector<double> hz;
  const int steps = static_cast<int>(std::floor(48 * std::log2(f2 / f1) + 1e-9));
  for (int i = 0; i <= steps; ++i) hz.push_back(f1 * std::exp2(i / 48.0));
  if (hz.back() < f2 * (1 - 1e-9)) hz.push_back(f2);
  return hz;
}

TImpulseDisplay::TImpulseDisplay(QWidget* parent)
    : TAudioDisplay(parent),
      FMeasuring(std::make_unique<TImpulseAnalyser>()),
      FShown(std::make_unique<TImpulseAnalyser>()) {
  SetBackgroundColour(kBackground);
  setMouseTracking(true);
}

TImpulseDisplay::~TImpulseDisplay() = default;

void TImpulseDisplay::SetSource(TWaveIn* source) {
  TAudioDisplay::SetSource(source);
  if (source) source->SetBufferSamples(kBlockFrames);
}

// ---------------------------------------------------------------------------------------------
// Measuring

void TImpulseDisplay::Begin(const TSyncSweep& sweep, bool dual, int captureFrames) {
  Disarm();
  FMeasuring->Start(sweep, dual, captureFrames);
  FMeasuringSweep = sweep.Settings();
  FCaptureFrames = captureFrames;
  FCapture.assign(2 * static_cast<std::size_t>(captureFrames), 0);
}

void TImpulseDisplay::Arm() {
  FArmed = true;
  FCaptured = 0;
  ++FArmGeneration;
}

void TImpulseDisplay::Disarm() {
  FArmed = false;
  ++FArmGeneration;
}

void TImpulseDisplay::ProcessSamples(const int16_t* samples, int frameCount, bool&) {
  if (!FArmed || FCaptured >= FCaptureFrames || frameCount <= 0) return;
  const bool first = FCaptured == 0;
  const int take = std::min(frameCount, FCaptureFrames - FCaptured);
  std::copy(samples, samples + 2 * static_cast<std::size_t>(take),
            FCapture.begin() + 2 * static_cast<std::ptrdiff_t>(FCaptured));
  FCaptured += take;
  // The handlers start and stop streams: never from inside the stream's own block.
  const auto post = [this](const std::function<void()>& handler) {
    if (!handler) return;
    QTimer::singleShot(0, this, [this, handler, generation = FArmGeneration] {
      if (generation == FArmGeneration) handler();
    });
  };
  if (FOnCaptureProgress) FOnCaptureProgress();
  if (first) post(FOnCaptureStarted);
  if (FCaptured == FCaptureFrames) post(FOnCaptureFull);
}

TCaptureFind TImpulseDisplay::AddCapture() {
  FArmed = false;
  return FMeasuring->AddCapture(FCapture.data(), FCaptured);
}

void TImpulseDisplay::Finish() {
  std::swap(FMeasuring, FShown);
  FShownSweep = FMeasuringSweep;
  FHasResult = true;
  Recompute();
}

// ---------------------------------------------------------------------------------------------
// What is shown

void TImpulseDisplay::Recompute() {
  if (!FHasResult) return;
  FResult = FShown->Result(FWindow);
  PrepareSmoothers();
  update();
}

void TImpulseDisplay::PrepareSmoothers() {
  // Each curve ends at the sweep's top: a smoothing band there takes its mean below it only,
  // not over the band edge's roll-off or the noise above it.
  const auto set = [](TSmoother& smoother, const std::vector<std::complex<double>>& response,
                      int lastBin, double binHz) {
    const int count = std::min(static_cast<int>(response.size()), lastBin + 1);
    if (count >= 2) smoother.Set(response.data(), count, binHz);
  };
  for (int ch = 0; ch < 2; ++ch) {
    const TChannelImpulse& c = FResult.Channel[ch];
    if (!c.Valid) continue;
    const TResponseCurve& r = c.Response;
    set(FSmoothers[ch][0], r.Complex, r.LastBin, r.BinHz);
    for (int k = 0; k < 4; ++k) set(FSmoothers[ch][k + 1], c.Harmonics[k].Complex, r.LastBin, r.BinHz);
  }
  if (FResult.Dual)
    set(FRatioSmoother, FResult.Ratio.Complex, FResult.Ratio.LastBin, FResult.Ratio.BinHz);
}

void TImpulseDisplay::SetView(TImpulseView view) {
  FView = view;
  update();
}

void TImpulseDisplay::SetSmoothing(TSmoothing smoothing) {
  FSmoothing = smoothing;
  update();
}

void TImpulseDisplay::SetWindow(const TIrWindow& window) {
  FWindow = window;
  Recompute();
}

void TImpulseDisplay::SetLoaded(const TResponseText& loaded) {
  FLoaded = loaded;
  update();
}

void TImpulseDisplay::SetDivideByLoaded(bool divide) {
  FDivide = divide;
  update();
}

void TImpulseDisplay::SetCalibration(std::shared_ptr<const TCalibration> calibration) {
  FCalibration = std::move(calibration);
  update();
}

int TImpulseDisplay::MainChannel() const {
  if (!FHasResult) return -1;
  if (FResult.Dual) return FResult.Ratio.Complex.empty() ? -1 : kRatio;
  if (FResult.Channel[1].Valid) return 1;
  return FResult.Channel[0].Valid ? 0 : -1;
}

const TSmoother* TImpulseDisplay::SmootherFor(int channel, int order) const {
  if (!FHasResult) return nullptr;
  if (channel == kRatio) {
    return FResult.Dual && order == 1 && !FResult.Ratio.Complex.empty() ? &FRatioSmoother
                                                                         : nullptr;
  }
  if (channel < 0 || channel > 1 || !FResult.Channel[channel].Valid) return nullptr;
  if (order < 1 || order > 5) return nullptr;
  const TSmoother& s = FSmoothers[channel][order - 1];
  return s.Bins() >= 2 ? &s : nullptr;
}

double TImpulseDisplay::CurveValue(TImpulseView view, int channel, double hz, int order) const {
  if (!FrequencyView(view) || hz <= 0) return kNaN;
  // The band the sweep covered.
  if (hz < FShownSweep.F1 * (1 - 1e-9) || hz > FShownSweep.F2 * (1 + 1e-9)) return kNaN;
  const bool divide = FDivide && FLoaded.Points.size() >= 2;
  const TCalibration* calibration = channel != kRatio && FCalibration ? FCalibration.get() : nullptr;
  switch (view) {
    case TImpulseView::Magnitude: {
      const TSmoother* s = SmootherFor(channel, 1);
      if (!s) return kNaN;
      double dB = PowerdB(s->Power(hz, FSmoothing));
      if (calibration) dB -= calibration->GaindB(hz);
      if (divide) dB -= InterpolateResponse(FLoaded, hz).dB;
      return dB;
    }
    case TImpulseView::Phase: {
      const TSmoother* s = SmootherFor(channel, 1);
      if (!s) return kNaN;
      double deg = ToDeg(std::arg(s->Complex(hz, FSmoothing)));
      if (calibration && calibration->HasPhase()) deg -= calibration->PhaseDeg(hz);
      if (divide && FLoaded.HasPhase) deg -= InterpolateResponse(FLoaded, hz).Deg;
      return WrapDeg(deg);
    }
    case TImpulseView::GroupDelay: {
      const TSmoother* s = SmootherFor(channel, 1);
      return s ? s->GroupDelayMs(hz, FSmoothing) : kNaN;
    }
    case TImpulseView::Distortion: {
      const TSmoother* fundamental = SmootherFor(channel, 1);
      const TSmoother* harmonic = SmootherFor(channel, order);
      if (!fundamental || !harmonic || order < 2) return kNaN;
      const double top = std::min(FShownSweep.F2, FShownSweep.SampleRate / 2);
      if (order * hz > top * (1 + 1e-9)) return kNaN;
      double dB = PowerdB(harmonic->Power(order * hz, FSmoothing)) - PowerdB(fundamental->Power(hz, FSmoothing));
      if (calibration) dB -= calibration->GaindB(order * hz) - calibration->GaindB(hz);
      return dB;
    }
    default:
      return kNaN;
  }
}

std::vector<TResponsePoint> TImpulseDisplay::ShownResponse(const std::vector<double>& hz) const {
  std::vector<TResponsePoint> points;
  const int channel = MainChannel();
  if (channel < 0) return points;
  for (double f : hz) {
    const double dB = CurveValue(TImpulseView::Magnitude, channel, f);
    const double deg = CurveValue(TImpulseView::Phase, channel, f);
    if (std::isfinite(dB) && std::isfinite(deg)) points.push_back({f, dB, deg});
  }
  return points;
}

// ---------------------------------------------------------------------------------------------
// Layout

TRect TImpulseDisplay::PlotArea() const { return {44, 20, W() + 1 - 10, H() + 1 - 16}; }

int TImpulseDisplay::FrequencyColumn(double hz) const {
  const TRect p = PlotArea();
  return p.Left + static_cast<int>(std::lrint(std::log(hz / kLowHz) / std::log(kHighHz / kLowHz) *
                                              (p.Width() - 1)));
}

double TImpulseDisplay::ColumnFrequency(int x) const {
  const TRect p = PlotArea();
  return kLowHz * std::pow(kHighHz / kLowHz, static_cast<double>(x - p.Left) / (p.Width() - 1));
}

void TImpulseDisplay::TimeRange(double& firstMs, double& lastMs) const {
  TIrWindow w = FWindow;
  const int main = MainChannel();
  if (main >= 0) w = FResult.Channel[main == kRatio ? 1 : main].Window;
  const double pad = std::max(2.0, 0.1 * (w.EndMs - w.StartMs));
  firstMs = w.StartMs - pad;
  lastMs = w.EndMs + pad;
}

int TImpulseDisplay::ValueRow(double v) const {
  const TRect p = PlotArea();
  const double f = FTop == FBottom ? 0 : std::clamp((FTop - v) / (FTop - FBottom), 0.0, 1.0);
  return p.Top + static_cast<int>(std::lrint(f * (p.Height() - 1)));
}

double TImpulseDisplay::ImpulseSampleAt(int channel, double ms) const {
  const TChannelImpulse& c = FResult.Channel[channel];
  const double i = c.PeakIndex + ms * 1e-3 * FShownSweep.SampleRate;
  const long n = std::lrint(i);
  if (!c.Valid || n < 0 || n >= static_cast<long>(c.Impulse.size())) return kNaN;
  return c.Impulse[n];
}

QString TImpulseDisplay::Readout(int x, int y) const {
  const TRect p = PlotArea();
  const int main = MainChannel();
  if (main < 0 || x < p.Left || x >= p.Right || y < p.Top || y >= p.Bottom) return {};
  if (!FrequencyView(FView)) {
    double first = 0, last = 0;
    TimeRange(first, last);
    const double ms = first + (last - first) * (x - p.Left) / std::max(p.Width() - 1, 1);
    const double h = ImpulseSampleAt(main == kRatio ? 1 : main, ms);
    if (!std::isfinite(h)) return {};
    if (FView == TImpulseView::Impulse) return QString::asprintf("%.2f ms,  %.4f", ms, h);
    return QString::asprintf("%.2f ms,  %.1f dB", ms, 20 * std::log10(std::abs(h) + 1e-15));
  }
  const double hz = ColumnFrequency(x);
  if (FView == TImpulseView::Distortion) {
    QString text = QString::asprintf("%.0f Hz:", hz);
    bool any = false;
    for (int k = 2; k <= 5; ++k) {
      const double v = CurveValue(FView, main == kRatio ? 1 : main, hz, k);
      if (!std::isfinite(v)) continue;
      text += QString::asprintf("%s H%d %.1f", any ? "," : "", k, v);
      any = true;
    }
    return any ? text + " dB" : QString();
  }
  const double v = CurveValue(FView, main, hz);
  if (!std::isfinite(v)) return {};
  switch (FView) {
    case TImpulseView::Magnitude: return QString::asprintf("%.0f Hz,  %.2f dB", hz, v);
    case TImpulseView::Phase: return QString::asprintf("%.0f Hz,  %.1f deg", hz, v);
    default: return QString::asprintf("%.0f Hz,  %.3f ms", hz, v);
  }
}

void TImpulseDisplay::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  if (FOnMouseMove) FOnMouseMove(p.x(), p.y());
  TAudioDisplay::mouseMoveEvent(event);
}

// ---------------------------------------------------------------------------------------------
// Drawing

std::vector<double> TImpulseDisplay::CurveColumns(TImpulseView view, int channel, int order) const {
  const TRect p = PlotArea();
  std::vector<double> values(static_cast<std::size_t>(std::max(p.Width(), 0)), kNaN);
  for (int x = p.Left; x < p.Right; ++x)
    values[x - p.Left] = CurveValue(view, channel, ColumnFrequency(x), order);
  return values;
}

void TImpulseDisplay::DrawFrame(TCanvas& canvas, const QString& caption, double step) {
  const TRect p = PlotArea();
  QFont small = font();
  small.setPixelSize(10);
  canvas.SetFont(small);
  canvas.SetFontColour(kCaption);
  canvas.SetBrushColour(kBackground);
  canvas.SetBrushStyle(bsSolid);
  canvas.TextOut(p.Left - 36, 4, caption);
  // The vertical scale.
  canvas.SetPenStyle(psDot);
  canvas.SetPenColour(kGrid);
  if (step <= 0) step = NiceStep(FTop - FBottom, 6);
  for (double v = std::ceil(FBottom / step - 1e-9) * step; v <= FTop + 1e-9 * step; v += step) {
    const int row = ValueRow(v);
    canvas.MoveTo(p.Left, row);
    canvas.LineTo(p.Right, row);
    const QString text = Number(std::abs(v) < step * 1e-6 ? 0 : v, step);
    canvas.TextOut(p.Left - 3 - canvas.TextWidth(text), row - canvas.TextHeight(text) / 2, text);
  }
}

void TImpulseDisplay::DrawCurve(TCanvas& canvas, const std::vector<double>& values,
                                const QColor& colour, TPenStyle style) {
  const TRect p = PlotArea();
  canvas.SetPenStyle(style);
  canvas.SetPenColour(colour);
  std::vector<QPoint> run;
  const auto flush = [&] {
    if (run.size() >= 2) canvas.Polyline(run);
    // Polyline stops short of its last point.
    if (!run.empty()) canvas.SetPixel(run.back().x(), run.back().y(), colour);
    run.clear();
  };
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      flush();
      continue;
    }
    run.emplace_back(p.Left + static_cast<int>(i), ValueRow(values[i]));
  }
  flush();
}

void TImpulseDisplay::DrawDisplay(TCanvas& canvas) {
  if (PlotArea().Width() < 2 || PlotArea().Height() < 2) return;
  if (FrequencyView(FView))
    DrawFrequency(canvas);
  else
    DrawImpulse(canvas);
}

void TImpulseDisplay::DrawFrequency(TCanvas& canvas) {
  const TRect p = PlotArea();
  const int main = MainChannel();
  // The curves of the view: (values, colour).
  std::vector<std::pair<std::vector<double>, QColor>> curves;
  if (main >= 0) {
    if (FView == TImpulseView::Distortion) {
      const int ch = main == kRatio ? 1 : main;
      for (int k = 2; k <= 5; ++k) curves.push_back({CurveColumns(FView, ch, k), kHarmonicColour[k - 2]});
    } else if (main == kRatio) {
      curves.push_back({CurveColumns(FView, kRatio, 1), kChannelColour[kRatio]});
    } else {
      for (int ch = 0; ch < 2; ++ch)
        if (FResult.Channel[ch].Valid) curves.push_back({CurveColumns(FView, ch, 1), kChannelColour[ch]});
    }
  }
  // The loaded response, unless it is divided out.
  std::vector<double> loaded;
  const bool showLoaded = FLoaded.Points.size() >= 2 && !FDivide &&
                          (FView == TImpulseView::Magnitude ||
                           (FView == TImpulseView::Phase && FLoaded.HasPhase));
  if (showLoaded) {
    loaded.assign(static_cast<std::size_t>(p.Width()), kNaN);
    const double lo = FLoaded.Points.front().Hz, hi = FLoaded.Points.back().Hz;
    for (int x = p.Left; x < p.Right; ++x) {
      const double hz = ColumnFrequency(x);
      if (hz < lo || hz > hi) continue;
      const TResponsePoint r = InterpolateResponse(FLoaded, hz);
      loaded[x - p.Left] = FView == TImpulseView::Magnitude ? r.dB : WrapDeg(r.Deg);
    }
  }

  // The scale: phase fixed, the others from what is drawn.
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  const auto extend = [&](const std::vector<double>& v) {
    for (double x : v)
      if (std::isfinite(x) && x > -250) lo = std::min(lo, x), hi = std::max(hi, x);
  };
  for (const auto& c : curves) extend(c.first);
  extend(loaded);
  switch (FView) {
    case TImpulseView::Phase:
      FTop = 180, FBottom = -180;
      break;
    case TImpulseView::Magnitude:
      if (lo > hi) lo = -50, hi = 0;
      FTop = std::ceil((hi + 1) / 10) * 10;
      FBottom = std::min(FTop - 40, std::floor((lo - 1) / 10) * 10);
      FBottom = std::max(FBottom, FTop - 100);
      break;
    case TImpulseView::Distortion:
      if (lo > hi) lo = -100, hi = -20;
      FTop = std::ceil((hi + 1) / 10) * 10;
      FBottom = std::max(std::floor((lo - 1) / 10) * 10, FTop - 120);
      FBottom = std::min(FBottom, FTop - 40);
      break;
    default: {  // group delay: a sensible span even for a flat curve
      if (lo > hi) lo = 0, hi = 1;
      const double middle = (lo + hi) / 2, span = std::max(hi - lo, 0.5);
      const double step = NiceStep(span * 1.2, 5);
      FTop = std::ceil((middle + span * 0.6) / step) * step;
      FBottom = std::floor((middle - span * 0.6) / step) * step;
      break;
    }
  }
  QString caption = ViewCaption(FView);
  if (FView == TImpulseView::Distortion && main >= 0)
    caption = QString("Harmonics of the %1 input, dB re the fundamental")
                  .arg(main == 0 ? "left" : "right");
  DrawFrame(canvas, caption, FView == TImpulseView::Phase ? 90 : 0);

  // The frequency axis.
  canvas.SetPenStyle(psDot);
  canvas.SetPenColour(kGrid);
  for (const auto& [hz, text] : std::initializer_list<std::pair<double, const char*>>{
           {20, "20"}, {50, "50"}, {100, "100"}, {200, "200"}, {500, "500"}, {1000, "1k"},
           {2000, "2k"}, {5000, "5k"}, {10000, "10k"}, {20000, "20k"}}) {
    const int x = FrequencyColumn(hz);
    canvas.MoveTo(x, p.Top);
    canvas.LineTo(x, p.Bottom);
    const QString caption = QString::fromLatin1(text);
    const int w = canvas.TextWidth(caption);
    canvas.TextOut(std::clamp(x - w / 2, p.Left - 6, p.Right + 8 - w), p.Bottom + 2, caption);
  }
  for (const auto& [values, colour] : curves) DrawCurve(canvas, values, colour);
  // Dotted over the measured curves, so that both show where they agree.
  if (showLoaded) DrawCurve(canvas, loaded, kLoadedColour, psDot);

  // A key to the colours.
  QFont small = font();
  small.setPixelSize(10);
  canvas.SetFont(small);
  canvas.SetBrushStyle(bsClear);
  int x = p.Right;
  const auto key = [&](const QString& text, const QColor& colour) {
    x -= canvas.TextWidth(text) + 10;
    canvas.SetFontColour(colour);
    canvas.TextOut(x, 4, text);
  };
  if (FView == TImpulseView::Distortion && main >= 0) {
    for (int k = 5; k >= 2; --k) key(QString("H%1").arg(k), kHarmonicColour[k - 2]);
  } else {
    if (showLoaded) key("Loaded", kLoadedColour);
    if (main == kRatio) key("Right / left", kChannelColour[kRatio]);
    if (main >= 0 && main != kRatio) {
      if (FResult.Channel[1].Valid) key("Right", kChannelColour[1]);
      if (FResult.Channel[0].Valid) key("Left", kChannelColour[0]);
    }
  }
  canvas.SetBrushStyle(bsSolid);
}

void TImpulseDisplay::DrawImpulse(TCanvas& canvas) {
  const TRect p = PlotArea();
  const bool dB = FView == TImpulseView::ImpulsedB;
  double first = 0, last = 0;
  TimeRange(first, last);
  const double msPerColumn = (last - first) / std::max(p.Width() - 1, 1);
  const double framesPerMs = FShownSweep.SampleRate * 1e-3;

  // Per channel and column: the extremes of the samples the column covers.
  struct TColumn {
    double Min = kNaN, Max = kNaN;
  };
  std::array<std::vector<TColumn>, 2> columns;
  double peak = 0;
  for (int ch = 0; ch < 2; ++ch) {
    const TChannelImpulse& c = FResult.Channel[ch];
    if (!FHasResult || !c.Valid) continue;
    columns[ch].resize(static_cast<std::size_t>(p.Width()));
    const long size = static_cast<long>(c.Impulse.size());
    for (int x = 0; x < p.Width(); ++x) {
      const double t0 = first + (x - 0.5) * msPerColumn, t1 = t0 + msPerColumn;
      long i0 = static_cast<long>(std::ceil(c.PeakIndex + t0 * framesPerMs));
      long i1 = static_cast<long>(std::ceil(c.PeakIndex + t1 * framesPerMs));
      i1 = std::max(i1, i0 + 1);
      i0 = std::max(i0, 0L);
      i1 = std::min(i1, size);
      TColumn& col = columns[ch][x];
      for (long i = i0; i < i1; ++i) {
        const double v = c.Impulse[i];
        col.Min = std::isfinite(col.Min) ? std::min(col.Min, v) : v;
        col.Max = std::isfinite(col.Max) ? std::max(col.Max, v) : v;
        peak = std::max(peak, std::abs(v));
      }
    }
  }
  if (dB) {
    const double top = peak > 0 ? 20 * std::log10(peak) : 0;
    FTop = std::ceil((top + 1) / 10) * 10;
    FBottom = FTop - 120;
  } else {
    const double a = peak > 0 ? peak * 1.1 : 1;
    FTop = a, FBottom = -a;
  }

  // The window of each channel: the main one's shaded, the other's edges dotted.
  const int main = MainChannel();
  const int shaded = main == kRatio ? 1 : main;
  const auto column = [&](double ms) {
    return p.Left + static_cast<int>(std::lrint((ms - first) / msPerColumn));
  };
  if (shaded >= 0) {
    const TIrWindow& w = FResult.Channel[shaded].Window;
    canvas.SetBrushColour(kWindowShade);
    canvas.SetBrushStyle(bsSolid);
    canvas.FillRect({std::clamp(column(w.StartMs), p.Left, p.Right), p.Top,
                     std::clamp(column(w.EndMs) + 1, p.Left, p.Right), p.Bottom});
    canvas.SetBrushColour(kBackground);
  }
  DrawFrame(canvas, ViewCaption(FView), 0);
  for (int ch = 0; ch < 2; ++ch) {
    if (columns[ch].empty()) continue;
    const TIrWindow& w = FResult.Channel[ch].Window;
    canvas.SetPenStyle(psDot);
    canvas.SetPenColour(kChannelColour[ch]);
    for (double ms : {w.StartMs, w.EndMs}) {
      const int x = column(ms);
      if (x < p.Left || x >= p.Right) continue;
      canvas.MoveTo(x, p.Top);
      canvas.LineTo(x, p.Bottom);
    }
  }

  // The time axis.
  canvas.SetPenStyle(psDot);
  canvas.SetPenColour(kGrid);
  const double step = NiceStep(last - first, 8);
  for (double ms = std::ceil(first / step) * step; ms <= last; ms += step) {
    const int x = column(ms);
    canvas.MoveTo(x, p.Top);
    canvas.LineTo(x, p.Bottom);
    const QString text = Number(std::abs(ms) < step * 1e-6 ? 0 : ms, step);
    const int w = canvas.TextWidth(text);
    canvas.TextOut(std::clamp(x - w / 2, p.Left - 6, p.Right + 8 - w), p.Bottom + 2, text);
  }
  const QString unit = "ms";
  canvas.TextOut(p.Right + 9 - canvas.TextWidth(unit), p.Top - 16, unit);

  // The traces: each column spans its extremes, stretched to meet the previous column's, so
  // that no peak between pixels is lost and the trace stays joined.
  for (int ch = 0; ch < 2; ++ch) {
    if (columns[ch].empty()) continue;
    canvas.SetPenStyle(psSolid);
    canvas.SetPenColour(kChannelColour[ch]);
    int previousTop = -1, previousBottom = -1;
    for (int x = 0; x < p.Width(); ++x) {
      const TColumn& c = columns[ch][x];
      if (!std::isfinite(c.Min)) {
        previousTop = previousBottom = -1;
        continue;
      }
      int top, bottom;
      if (dB) {
        top = bottom = ValueRow(20 * std::log10(std::max(std::abs(c.Min), std::abs(c.Max)) + 1e-15));
      } else {
        top = ValueRow(c.Max);
        bottom = ValueRow(c.Min);
      }
      const int ownTop = top, ownBottom = bottom;
      if (previousTop >= 0) {
        if (top > previousBottom) top = previousBottom;
        if (bottom < previousTop) bottom = previousTop;
      }
      canvas.MoveTo(p.Left + x, top);
      canvas.LineTo(p.Left + x, bottom + 1);
      previousTop = ownTop;
      previousBottom = ownBottom;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The page

namespace {

// The longest round trip a capture allows for, on top of the run: PulseAudio's reach up to
// about 0.8 s, and the output opens a little after the capture does.
constexpr double kRoundTripSeconds = 1.5;
// Silence played before the sweep: a sound server may record only from a quarter of a second
// after it began to play, and the sweep's low start must not be what is lost.
constexpr double kLeadInSeconds = 0.5;
constexpr int kAveragingCounts[] = {1, 2, 4, 8};

const char* const kNoSweep =
    "No sweep found in the capture.  Check that the output is connected to the input (the left "
    "input too with \"Left is reference\") and that the level is high enough.";

// Whole bytes into a file through a temporary one; a message naming the file when it fails.
bool SaveWholeFile(const QString& name, const char* what, const QByteArray& bytes) {
  const QString failure = WriteWholeFile(name, bytes);
  if (failure.isEmpty()) return true;
  ShowMessage(std::string("Could not write the ") + what + " \"" + name.toStdString() + "\": " +
              failure.toStdString() + ".");
  return false;
}

}  // namespace

void TMainForm::CreateImpulsePage(QWidget* page) {
  LabelImpulseMarker = MakeLabel(page, "LabelImpulseMarker", "", 8, 4, 230);
  LabelImpulseDelay = MakeLabel(page, "LabelImpulseDelay", "", 238, 4, 239);
  LabelImpulseDelay->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ImpulseDisplay1 = new TImpulseDisplay(page);
  ImpulseDisplay1->setObjectName("ImpulseDisplay1");
  ImpulseDisplay1->SetBounds(8, 22, 469, 238);
  ImpulseDisplay1->setCursor(Qt::CrossCursor);

  MakeLabel(page, "LabelImpulseView", "View", 8, 262, 92);
  ComboBoxImpulseView = MakeList(page, "ComboBoxImpulseView",
                                 {"Impulse", "Impulse (dB)", "Magnitude", "Phase", "Group delay",
                                  "Distortion"},
                                 8, 278, 92);
  ComboBoxImpulseView->setCurrentIndex(2);
  MakeLabel(page, "LabelImpulseSmoothing", "Smoothing", 104, 262, 70);
  ComboBoxImpulseSmoothing = MakeList(page, "ComboBoxImpulseSmoothing",
                                      {"None", "1/1", "1/3", "1/6", "1/12", "1/24", "1/48"}, 104,
                                      278, 70);
  ComboBoxImpulseSmoothing->setToolTip("Fractional-octave smoothing of the curves");
  MakeLabel(page, "LabelImpulseLength", "Length s", 178, 262, 46);
  SpinEditImpulseLength = MakeNumberBox(page, "SpinEditImpulseLength", 1, 10, 5, 178, 278, 46);
  MakeLabel(page, "LabelImpulseF1", "From Hz", 228, 262, 58);
  SpinEditImpulseF1 = MakeNumberBox(page, "SpinEditImpulseF1", 1, 20000, 20, 228, 278, 58);
  MakeLabel(page, "LabelImpulseF2", "To Hz", 290, 262, 62);
  SpinEditImpulseF2 = MakeNumberBox(page, "SpinEditImpulseF2", 2, 22050, 20000, 290, 278, 62);
  MakeLabel(page, "LabelImpulseLevel", "Level dBFS", 356, 262, 58);
  SpinEditImpulseLevel = MakeNumberBox(page, "SpinEditImpulseLevel", -60, 0, -10, 356, 278, 50);
  MakeLabel(page, "LabelImpulseAveraging", "Sweeps", 418, 262, 59);
  ComboBoxImpulseAveraging =
      MakeList(page, "ComboBoxImpulseAveraging", {"1", "2", "4", "8"}, 418, 278, 59);
  ComboBoxImpulseAveraging->setToolTip("Sweeps played and averaged, each aligned on its own delay");

  CheckBoxImpulseWindowAuto =
      MakeCheckBox(page, "CheckBoxImpulseWindowAuto", "Auto window", 8, 304, 88, 21, true);
  CheckBoxImpulseWindowAuto->setToolTip(
      "Cut the impulse response where it sinks into the noise; else between the two times, ms "
      "re its peak");
  SpinEditImpulseWindowStart =
      MakeNumberBox(page, "SpinEditImpulseWindowStart", -150, -1, -5, 98, 304, 58);
  SpinEditImpulseWindowEnd =
      MakeNumberBox(page, "SpinEditImpulseWindowEnd", 1, 1200, 300, 160, 304, 64);
  for (QSpinBox* box : {SpinEditImpulseWindowStart, SpinEditImpulseWindowEnd}) {
    box->setSuffix(" ms");
    box->setKeyboardTracking(false);
  }
  CheckBoxImpulseDual =
      MakeCheckBox(page, "CheckBoxImpulseDual", "Left is reference", 232, 304, 118, 21);
  CheckBoxImpulseDual->setToolTip(
      "The left input takes the output straight back: the right input's response over it");
  CheckBoxImpulseDivide =
      MakeCheckBox(page, "CheckBoxImpulseDivide", "Divide by loaded", 354, 304, 123, 21);

  ButtonImpulseMeasure = MakeButton(page, "ButtonImpulseMeasure", "Measure", 8, 330, 70, 25);
  ProgressBarImpulse = Named(new QProgressBar(page), "ProgressBarImpulse", 84, 334, 96, 17);
  ProgressBarImpulse->setRange(0, 1000);
  ProgressBarImpulse->setValue(0);
  ProgressBarImpulse->setTextVisible(false);
  ButtonImpulseSave = MakeButton(page, "ButtonImpulseSave", "Save as ...", 186, 330, 70, 25);
  ButtonImpulseSave->setToolTip("Saves the response shown as text: frequency, dB, degrees");
  ButtonImpulseSaveWav =
      MakeButton(page, "ButtonImpulseSaveWav", "Save impulse ...", 260, 330, 92, 25);
  ButtonImpulseSaveWav->setToolTip("Saves the impulse responses as a 32-bit float WAV file");
  ButtonImpulseLoad = MakeButton(page, "ButtonImpulseLoad", "Load ...", 356, 330, 60, 25);
  ButtonImpulseLoad->setToolTip(
      "Loads a response file to show over the measured one, or to divide it by");
  ButtonImpulseClear = MakeButton(page, "ButtonImpulseClear", "Clear", 420, 330, 57, 25);
  ButtonImpulseClear->setToolTip("Removes the loaded response");

  TimerImpulse = new QTimer(this);
  TimerImpulse->setObjectName("TimerImpulse");
  TimerImpulse->setInterval(100);
  connect(TimerImpulse, &QTimer::timeout, this, Guard(&TMainForm::TimerImpulseTimer));

  // Programmatic choices (the restored settings) reach the display as the user's do.
  connect(ComboBoxImpulseView, &QComboBox::currentIndexChanged, this,
          Guard(&TMainForm::ComboBoxImpulseViewChange));
  connect(ComboBoxImpulseSmoothing, &QComboBox::currentIndexChanged, this,
          Guard(&TMainForm::ComboBoxImpulseSmoothingChange));
  connect(CheckBoxImpulseWindowAuto, &QCheckBox::toggled, this,
          Guard(&TMainForm::ImpulseWindowChange));
  for (QSpinBox* box : {SpinEditImpulseWindowStart, SpinEditImpulseWindowEnd})
    connect(box, &QSpinBox::valueChanged, this, Guard(&TMainForm::ImpulseWindowChange));
  connect(CheckBoxImpulseDivide, &QCheckBox::toggled, this,
          Guard(&TMainForm::CheckBoxImpulseDivideClick));
  connect(ButtonImpulseMeasure, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonImpulseMeasureClick));
  connect(ButtonImpulseSave, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonImpulseSaveClick));
  connect(ButtonImpulseSaveWav, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonImpulseSaveWavClick));
  connect(ButtonImpulseLoad, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonImpulseLoadClick));
  connect(ButtonImpulseClear, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonImpulseClearClick));
  ImpulseDisplay1->SetOnMouseMove([this](int x, int y) {
    try {
      ImpulseDisplay1MouseMove(x, y);
    } catch (const std::exception& e) {
      ShowException(e);
    }
  });
  ImpulseDisplay1->SetOnCaptureStarted(Guard(&TMainForm::ImpulseCaptureStarted));
  ImpulseDisplay1->SetOnCaptureFull(Guard(&TMainForm::ImpulseCaptureFull));
  ImpulseDisplay1->SetOnCaptureProgress([this] { ShowImpulseProgress(); });
  ComboBoxImpulseViewChange();
  ImpulseWindowChange();
}

void TMainForm::ComboBoxImpulseViewChange() {
  const int index = ComboBoxImpulseView->currentIndex();
  ImpulseDisplay1->SetView(index >= 0 && index <= 5 ? static_cast<TImpulseView>(index)
                                                    : TImpulseView::Magnitude);
  LabelImpulseMarker->clear();
}

void TMainForm::ComboBoxImpulseSmoothingChange() {
  const int index = ComboBoxImpulseSmoothing->currentIndex();
  ImpulseDisplay1->SetSmoothing(index >= 0 && index <= 6 ? static_cast<TSmoothing>(index)
                                                         : TSmoothing::None);
  LabelImpulseMarker->clear();
}

void TMainForm::ImpulseWindowChange() {
  const bool automatic = CheckBoxImpulseWindowAuto->isChecked();
  SpinEditImpulseWindowStart->setEnabled(!automatic);
  SpinEditImpulseWindowEnd->setEnabled(!automatic);
  ImpulseDisplay1->SetWindow({automatic, static_cast<double>(SpinEditImpulseWindowStart->value()),
                              static_cast<double>(SpinEditImpulseWindowEnd->value())});
  LabelImpulseMarker->clear();
}

void TMainForm::CheckBoxImpulseDivideClick() {
  ImpulseDisplay1->SetDivideByLoaded(CheckBoxImpulseDivide->isChecked());
  LabelImpulseMarker->clear();
}

void TMainForm::ImpulseDisplay1MouseMove(int x, int y) {
  LabelImpulseMarker->setText(ImpulseDisplay1->Readout(x, y));
}

// ---- the run ---------------------------------------------------------------------------------

void TMainForm::ButtonImpulseMeasureClick() {
  if (FImpulseRun) {
    EndImpulseRun();
    return;
  }
  TSyncSweepSettings s;
  s.F1 = SpinEditImpulseF1->value();
  s.F2 = SpinEditImpulseF2->value();
  s.Seconds = SpinEditImpulseLength->value();
  s.Amplitude = std::pow(10.0, SpinEditImpulseLevel->value() / 20.0);
  s.SampleRate = FToneGenerator->SampleRate();
  if (s.F2 > s.SampleRate / 2) s.F2 = s.SampleRate / 2;
  if (s.F1 >= s.F2) {
    ShowMessage("The sweep cannot run from " + std::to_string(SpinEditImpulseF1->value()) +
                " Hz to " + std::to_string(SpinEditImpulseF2->value()) +
                " Hz: the first frequency must be below the second.");
    return;
  }
  std::unique_ptr<TImpulseRun> run;
  try {
    run = std::make_unique<TImpulseRun>(s);
  } catch (const std::invalid_argument& e) {
    ShowMessage(std::string("The sweep cannot be made: ") + e.what());
    return;
  }
  const int index = ComboBoxImpulseAveraging->currentIndex();
  run->Count = kAveragingCounts[index >= 0 && index < 4 ? index : 0];
  const int captureFrames = run->Sweep.RunFrames() +
                            static_cast<int>((kRoundTripSeconds + kLeadInSeconds) * s.SampleRate) +
                            TImpulseDisplay::kBlockFrames;
  ImpulseDisplay1->Begin(run->Sweep, CheckBoxImpulseDual->isChecked(), captureFrames);

  // Take over the output: the tone generator's stream plays the sweep's blocks.
  run->ToneWasEnabled = FToneGenerator->Enabled();
  run->AnalyserWasEnabled = FAnalyser->Enabled();
  run->ToneNeedData = FToneGenerator->OnNeedData();
  ResponsePlot1->SetEnabled(false);  // its own sweep would play into the capture
  FToneGenerator->SetEnabled(false);
  TImpulseRun* r = run.get();
  FToneGenerator->SetOnNeedData([r](PWaveHdr h) {
    h->dwUser = 0;
    if (!h->lpData) return;
    const int frames = static_cast<int>(h->dwBufferLength / kBlockAlign);
    r->Sweep.FillStereo16(reinterpret_cast<int16_t*>(h->lpData), r->Played, frames);
    r->Played += frames;
  });
  if (FAnalyser->Display() != ImpulseDisplay1) FAnalyser->SetDisplay(ImpulseDisplay1);
  for (QWidget* w : std::initializer_list<QWidget*>{
           ButtonStartGenerator, ButtonStartAnalyser, ButtonSaveAs, CheckBoxEnableAnalyser,
           TabControlGenerator, SpinEditImpulseLength, SpinEditImpulseF1, SpinEditImpulseF2,
           SpinEditImpulseLevel, ComboBoxImpulseAveraging, CheckBoxImpulseDual}) {
    run->Locked.emplace_back(w, w->isEnabled());
    w->setEnabled(false);
  }
  run->LockedActions.emplace_back(ReplayWAVFile1, ReplayWAVFile1->isEnabled());
  ReplayWAVFile1->setEnabled(false);
  FImpulseRun = std::move(run);
  ButtonImpulseMeasure->setText("Cancel");
  ProgressBarImpulse->setValue(0);
  LabelImpulseDelay->clear();
  TimerImpulse->start();
  StartImpulseCapture();
}

void TMainForm::StartImpulseCapture() {
  FImpulseRun->Phase = TImpulseRun::Starting;
  FImpulseRun->Played = -static_cast<int64_t>(kLeadInSeconds * FToneGenerator->SampleRate());
  FAnalyser->SetEnabled(false);
  ImpulseDisplay1->Arm();
  try {
    FAnalyser->SetEnabled(true);
  } catch (const EWaveInError& e) {
    EndImpulseRun();
    ShowMessage(std::string("The impulse response cannot be measured: the input did not open.\r\r"
                            "Original error: ") + e.what());
  }
}

void TMainForm::ImpulseCaptureStarted() {
  // The capture runs before the sweep starts: wherever the sweep comes back, it is in it.
  if (!FImpulseRun || FImpulseRun->Phase != TImpulseRun::Starting) return;
  FImpulseRun->Phase = TImpulseRun::Playing;
  try {
    FToneGenerator->SetEnabled(true);
  } catch (const EWaveOutError& e) {
    EndImpulseRun();
    ShowMessage(std::string("The impulse response cannot be measured: the output did not open.\r\r"
                            "Original error: ") + e.what());
  }
}

void TMainForm::ImpulseCaptureFull() {
  if (!FImpulseRun || FImpulseRun->Phase != TImpulseRun::Playing) return;
  // An output that stopped by itself (a device error, reported on its own) left the sweep cut.
  if (!FToneGenerator->Enabled()) {
    EndImpulseRun();
    return;
  }
  FImpulseRun->Phase = TImpulseRun::Idle;
  FToneGenerator->SetEnabled(false);
  FAnalyser->SetEnabled(false);
  const TCaptureFind find = ImpulseDisplay1->AddCapture();
  const bool dual = CheckBoxImpulseDual->isChecked();
  if (!(find.Found[0] || (!dual && find.Found[1]))) {
    EndImpulseRun();
    ShowMessage(kNoSweep);
    return;
  }
  const double msPerFrame = 1000.0 / FToneGenerator->SampleRate();
  // Where the sweep came back less the silence played before it.
  const double lead = kLeadInSeconds * FToneGenerator->SampleRate();
  const auto at = [&](int ch) { return (find.Delay[ch] - lead) * msPerFrame; };
  if (dual) {
    LabelImpulseDelay->setText(
        find.Found[1]
            ? QString::asprintf("Delay R - L %.2f ms", (find.Delay[1] - find.Delay[0]) * msPerFrame)
            : QString::asprintf("Delay %.2f ms (left)", at(0)));
  } else if (find.Found[0] && find.Found[1] &&
             std::abs(find.Delay[1] - find.Delay[0]) * msPerFrame >= 0.005) {
    LabelImpulseDelay->setText(QString::asprintf("Delay %.2f ms (L), %.2f ms (R)", at(0), at(1)));
  } else {
    LabelImpulseDelay->setText(QString::asprintf("Delay %.2f ms", at(find.Found[0] ? 0 : 1)));
  }
  if (++FImpulseRun->Done < FImpulseRun->Count) {
    StartImpulseCapture();
    return;
  }
  ImpulseDisplay1->Finish();
  if (dual && ImpulseDisplay1->Result().Channel[1].Valid)
    LabelImpulseDelay->setText(QString::asprintf(
        "Delay R - L %.2f ms", ImpulseDisplay1->Result().Channel[1].Delay * msPerFrame));
  EndImpulseRun();
}

void TMainForm::ShowImpulseProgress() {
  if (!FImpulseRun) return;
  const TImpulseRun& r = *FImpulseRun;
  const double total = static_cast<double>(r.Count) * ImpulseDisplay1->CaptureFrames();
  const double done = static_cast<double>(r.Done) * ImpulseDisplay1->CaptureFrames() +
                      ImpulseDisplay1->CapturedFrames();
  ProgressBarImpulse->setValue(static_cast<int>(std::lrint(1000 * std::min(done / total, 1.0))));
}

void TMainForm::TimerImpulseTimer() {
  if (!FImpulseRun) return;
  const TImpulseRun& r = *FImpulseRun;
  // A stream that stopped by itself (a device error, already reported) ends the run.
  const bool inputLost = r.Phase != TImpulseRun::Idle && !FAnalyser->Enabled();
  const bool outputLost = r.Phase == TImpulseRun::Playing && !FToneGenerator->Enabled();
  if (inputLost || outputLost) EndImpulseRun();
}

void TMainForm::EndImpulseRun(bool resume) {
  if (!FImpulseRun) return;
  const std::unique_ptr<TImpulseRun> run = std::move(FImpulseRun);
  TimerImpulse->stop();
  ImpulseDisplay1->Disarm();
  FToneGenerator->SetEnabled(false);
  FAnalyser->SetEnabled(false);
  FToneGenerator->SetOnNeedData(run->ToneNeedData);
  for (const auto& [w, enabled] : run->Locked)
    if (w) w->setEnabled(enabled);
  for (const auto& [a, enabled] : run->LockedActions)
    if (a) a->setEnabled(enabled);
  ButtonImpulseMeasure->setText("Measure");
  ProgressBarImpulse->setValue(0);
  // What ran before the measurement runs again.
  try {
    if (resume && run->AnalyserWasEnabled) FAnalyser->SetEnabled(true);
  } catch (const EWaveInError& e) {
    ShowMessage(std::string("The analyser could not be started again after the measurement: ") +
                e.what());
  }
  ShowAnalyserState();
  try {
    if (resume && run->ToneWasEnabled) FToneGenerator->SetEnabled(true);
  } catch (const EWaveOutError& e) {
    ShowMessage(std::string("The generator could not be started again after the measurement: ") +
                e.what());
  }
  ButtonStartGenerator->setText(FToneGenerator->Enabled() ? "STOP" : "Start Generator");
}

bool TMainForm::ImpulseRunning() const { return FImpulseRun != nullptr; }

// ---- files -----------------------------------------------------------------------------------

namespace {

// The name chosen in a save dialog with its extension, once replacing an existing file is
// agreed; empty when cancelled.
QString ChooseSaveName(const TFileDialogOptions& options) {
  QString name = FileDialogs().SaveFileName(options);
  if (name.isEmpty()) return {};
  if (QFileInfo(name).suffix().isEmpty()) name += "." + options.DefaultExt;
  if (QFileInfo::exists(name) && !AskYesNo(QFileInfo(name).fileName().toStdString() +
                                               " already exists.\rDo you want to replace it?",
                                           "Save as"))
    return {};
  return name;
}

}  // namespace

void TMainForm::ButtonImpulseSaveClick() {
  if (ImpulseDisplay1->MainChannel() < 0) {
    ShowMessage("There is no measured impulse response to save yet.");
    return;
  }
  const QString name = ChooseSaveName({"Save the response as", "response.txt", "txt",
                                       "Response files (*.txt)|*.txt|All files (*.*)|*.*"});
  if (name.isEmpty()) return;
  const TImpulseDisplay& d = *ImpulseDisplay1;
  const TSyncSweepSettings& s = d.SweepSettings();
  const TImpulseResult& r = d.Result();
  const int main = d.MainChannel();
  const TIrWindow& w = r.Channel[main == TImpulseDisplay::kRatio ? 1 : main].Window;
  std::vector<std::string> comments = {
      "Impulse response measurement by synchronised sweep, " +
          QDate::currentDate().toString("yyyy-MM-dd").toStdString(),
      main == TImpulseDisplay::kRatio ? std::string("Right input over left input")
                                      : std::string(main == 1 ? "Right input" : "Left input"),
      QString::asprintf("Sweep %.0f Hz to %.0f Hz, %.0f s, %.1f dBFS, %d averaged", s.F1, s.F2,
                        s.Seconds, 20 * std::log10(s.Amplitude),
                        r.Channel[main == TImpulseDisplay::kRatio ? 1 : main].Captures)
          .toStdString(),
      QString::asprintf("Window %.2f ms to %.2f ms re the peak%s", w.StartMs, w.EndMs,
                        d.Window().Automatic ? " (automatic)" : "")
          .toStdString(),
      std::string("Smoothing ") + SmoothingName(d.Smoothing())};
  if (d.DivideByLoaded() && d.Loaded().Points.size() >= 2)
    comments.push_back("Divided by " + FImpulseLoadedName.toStdString());
  const std::vector<TResponsePoint> points =
      d.ShownResponse(ResponseFileFrequencies(s.F1, s.F2));
  const std::string text = FormatResponseText(points, comments, true);
  SaveWholeFile(name, "response file", QByteArray::fromStdString(text));
}

void TMainForm::ButtonImpulseSaveWavClick() {
  const TImpulseResult& r = ImpulseDisplay1->Result();
  if (ImpulseDisplay1->MainChannel() < 0) {
    ShowMessage("There is no measured impulse response to save yet.");
    return;
  }
  const QString name = ChooseSaveName({"Save the impulse responses as", "impulse.wav", "wav",
                                       "Wave files (*.wav)|*.wav|All files (*.*)|*.*"});
  if (name.isEmpty()) return;
  // Left and right as a stereo file, each from its own peak's place in the segment; a channel
  // without a sweep found is silent.
  const std::size_t frames = std::max(r.Channel[0].Impulse.size(), r.Channel[1].Impulse.size());
  std::vector<float> interleaved(2 * frames, 0.0f);
  for (int ch = 0; ch < 2; ++ch) {
    const TChannelImpulse& c = r.Channel[ch];
    if (!c.Valid) continue;
    for (std::size_t i = 0; i < c.Impulse.size(); ++i) interleaved[2 * i + ch] = c.Impulse[i];
  }
  const std::vector<uint8_t> bytes = FloatWaveFileBytes(
      interleaved, 2, static_cast<uint32_t>(ImpulseDisplay1->SweepSettings().SampleRate),
      QDate::currentDate().toString("yyyy-MM-dd").toStdString());
  SaveWholeFile(name, "WAV file",
                 QByteArray(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<qsizetype>(bytes.size())));
}

void TMainForm::ButtonImpulseLoadClick() {
  const QString name = FileDialogs().OpenFileName(
      {"Load a response", "", "txt", "Response files (*.txt)|*.txt|All files (*.*)|*.*"});
  if (name.isEmpty()) return;
  QFile file(name);
  if (!file.open(QIODevice::ReadOnly)) {
    ShowMessage("Could not read the response file \"" + name.toStdString() + "\": " +
                file.errorString().toStdString() + ".");
    return;
  }
  const QByteArray bytes = file.readAll();
  const TResponseTextParse parse = ParseResponseText(std::string_view(bytes.data(), bytes.size()));
  if (!parse.Ok) {
    ShowMessage("\"" + name.toStdString() + "\" is not a response file: " + parse.Reason + ".");
    return;
  }
  FImpulseLoadedName = QFileInfo(name).fileName();
  ImpulseDisplay1->SetLoaded(parse.Text);
  ButtonImpulseClear->setToolTip("Removes the loaded response, " + FImpulseLoadedName);
}

void TMainForm::ButtonImpulseClearClick() {
  FImpulseLoadedName.clear();
  ImpulseDisplay1->SetLoaded({});
  ButtonImpulseClear->setToolTip("Removes the loaded response");
}
