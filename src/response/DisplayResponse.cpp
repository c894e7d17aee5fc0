#include "DisplayResponse.h"

#include "Messages.h"
#include "NSP.h"
#include "SweepGenerator.h"

#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <string>

namespace {

// The capture kept for placing the sweep: a power of two, several slow steps and two fast blocks.
constexpr int kRingFrames = 1 << 17;
// A slow run's marker is searched over this much capture (1.49 s), from a little before where
// the devices' clocks say it comes back, or without them from half a second before it was played.
constexpr int kMarkerSearchFrames = 1 << 16;
// With the devices' clocks, the marker is searched from this far before where they say it comes
// back (0.19 s; they are good to a few tens of milliseconds).
constexpr int kClockMargin = 8192;
// A marker after the first is searched from this far before where the delay found so far puts it
// (50 ms: a sound system that slipped further loses a cycle, not its steps' places).
constexpr int kResyncMargin = 2205;
// After a marker its block is silent: from this far past the chirp to this far before the block's
// end (50 ms each) the level must stay below this share of the marker's.
constexpr int kMarkerQuietGap = 2205;
constexpr double kMarkerQuietShare = 0.01;
// The device rings on after the marker; its answer must lie this far inside the capture searched.
constexpr int kMarkerRingOut = 441;
// A slow step is read from 25 ms after it comes back (the device settles: a 1.3 % step in
// frequency with the phase running on moves the tone little, and a filter's transient decays
// within a few of its time constants, under 3 ms for a corner above 60 Hz) to 10 ms before its
// end (room for the delay's own uncertainty).
constexpr int kSettleFrames = 1102;
constexpr int kTailFrames = 441;
// The sweep found in two blocks within this many frames of each other is the same sweep.
constexpr int kLagTolerance = 8;
// A block still holds the sweep where the last one did while the correlation there keeps this
// share of what the search found.
constexpr double kKeptCoherence = 0.7;
constexpr float kFullScaleSquare = 1073741824.0f;  // 2^30 = 32768^2
constexpr float kSumStart = 1e-10f;
constexpr float kDifferenceOffsetdB = 20.0f;
constexpr double kEndEntryDistance = 1000000.0;  // Hz beyond MaxFrequency
constexpr int kFrequencyLabels = 11, kLevelLabels = 9;

const char* const kHeaderLine = "Frequency-Hz   response-dB\r\n";

QChar UserDecimalPoint() {
  const QString point = QLocale().decimalPoint();
  return point.isEmpty() ? QChar(u'.') : point.front();
}

QString OneDecimal(double value, QChar decimalPoint) {
  QString text = QString::asprintf("%.1f", value);
  // A difference a hair below zero is no level of its own: it would break the run of 0.0 lines.
  if (text == QLatin1String("-0.0")) text.remove(0, 1);
  if (decimalPoint != u'.') text.replace(u'.', decimalPoint);
  return text;
}

// "." always counts as the decimal point, and so does the user's; group separators never do,
// so "1,000" is no number in any locale.
bool ToNumber(QStringView text, QChar decimalPoint, double& value) {
  QString plain = text.trimmed().toString();
  if (decimalPoint != u'.') plain.replace(decimalPoint, u'.');
  QLocale c = QLocale::c();
  c.setNumberOptions(QLocale::RejectGroupSeparator);
  bool ok = false;
  value = c.toDouble(plain, &ok);
  return ok;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// A sample less the block's offset, wrapping as 16-bit arithmetic does.
inline int32_t LessOffset(int16_t sample, int offset) {
  return static_cast<int16_t>(static_cast<uint16_t>(sample - offset));
}

// 1-2-1 or 1-3-4-3-1 over the copy; the columns the formula does not reach keep their values.
void Smooth(int smoothing, const float* copy, float* levels, int n) {
  if (smoothing == 1) {
    for (int j = 1; j <= n - 2; ++j)
      levels[j] = static_cast<float>((2.0 * copy[j] + copy[j - 1] + copy[j + 1]) / 4.0);
  } else if (smoothing == 2) {
    for (int j = 2; j <= n - 3; ++j)
      levels[j] = static_cast<float>((static_cast<double>(copy[j - 2]) + 3.0 * copy[j - 1] +
                                      4.0 * copy[j] + 3.0 * copy[j + 1] + copy[j + 2]) /
                                     12.0);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Response files and the reference

QByteArray FormatResponse(std::span<const float> frequencies, std::span<const float> levels,
                          QChar decimalPoint) {
  QByteArray out(kHeaderLine);
  const std::size_t count = std::min(frequencies.size(), levels.size());
  QString previous;
  for (std::size_t i = 0; i < count; ++i) {
    const QString level = OneDecimal(levels[i], decimalPoint);
    if (level == previous && i + 1 != count) continue;
    out += (OneDecimal(frequencies[i], decimalPoint) + QLatin1String("  ") + level).toUtf8();
    out += "\r\n";
    previous = level;
  }
  return out;
}

TReferenceLine ParseReferenceLine(QStringView line, QChar decimalPoint, float& frequency,
                                  float& level) {
  const QStringView text = line.trimmed();
  const qsizetype blank = text.indexOf(u' ');
  const QStringView frequencyText = blank < 0 ? QStringView() : text.left(blank + 1);
  const QStringView levelText = text.mid(blank + 1).trimmed();
  double f = 0, l = 0;
  if (!ToNumber(frequencyText, decimalPoint, f)) return TReferenceLine::Skip;
  if (std::isnan(f) || f < 0) return TReferenceLine::End;
  if (!ToNumber(levelText, decimalPoint, l)) return TReferenceLine::Skip;
  frequency = static_cast<float>(f);
  level = static_cast<float>(l);
  return TReferenceLine::Point;
}

int ReadReference(QIODevice& file, QChar decimalPoint, std::span<TReferenceEntry> table,
                  QString& failure, bool& filledUp) {
  // Entry 0 and the one after the last point belong to the caller.
  const int room = static_cast<int>(std::min<std::size_t>(
      kReferencePoints, table.size() < 2 ? 0 : table.size() - 2));
  const auto* fileDevice = qobject_cast<const QFileDevice*>(&file);
  int count = 0;
  filledUp = false;
  while (count < room && !file.atEnd()) {
    const QByteArray line = file.readLine();
    if (fileDevice && fileDevice->error() != QFileDevice::NoError) {
      failure = file.errorString();
      return count;
    }
    float frequency = 0, level = 0;
    const TReferenceLine kind =
        ParseReferenceLine(QString::fromUtf8(line), decimalPoint, frequency, level);
    if (kind == TReferenceLine::End) break;
    if (kind == TReferenceLine::Point) table[++count] = {frequency, level};
  }
  filledUp = count == kReferencePoints && !file.atEnd();
  return count;
}

void InterpolateReference(const TReferenceEntry* table, int count, const float* frequencies,
                          int points, float* levels) {
  count = std::max(count, 0);
  int k = 0;
  for (int j = 0; j < points; ++j) {
    const float f = frequencies[j];
    // Never past the end entry, whatever the table holds.
    while (k < count && table[k + 1].Frequency < f) ++k;
    const TReferenceEntry& a = table[k];
    const TReferenceEntry& b = table[k + 1];
    const float span = b.Frequency - a.Frequency;
    // Two entries at one frequency (a file repeating a point) would divide zero by zero.
    if (span == 0) {
      levels[j] = b.Level;
      continue;
    }
    const float t = (f - a.Frequency) / span;
    levels[j] = t * b.Level + (1 - t) * a.Level;
  }
}

// ---------------------------------------------------------------------------------------------
// Construction and settings

TResponsePlot::TResponsePlot(QWidget* parent) : TFrequencyPlot(parent) {
  SetMaxdB(0);
  SetMindB(-80);
  FTraceSmoothing = 1;
  FMinFrequency = 300;
  FMaxFrequency = 3000;
  FBuiltW = W();
  FSweepGenerator = new TAudioSweepGenerator(this);
  UpdateSweepRange();
  SetLogSweep(true);
  SetSteppedSweep(false);
  SetDeclick(true);
  SetDeclick(false);
  SetSlowSweepActiveSeconds(45);
  SetSlowSweepSilentSeconds(2);
  SetSlowSweep(false);
  setMouseTracking(true);
}

TResponsePlot::~TResponsePlot() {
  if (!FSweepGenerator) return;
  try {
    FSweepGenerator->SetEnabled(false);
  } catch (...) {
    // closing reports nothing; a destructor could not pass it on anyway
  }
  delete FSweepGenerator;
  FSweepGenerator = nullptr;
}

void TResponsePlot::SetTraceSmoothing(int value) {
  if (value < 0 || value > 2 || value == FTraceSmoothing) return;
  FTraceSmoothing = value;
  if (FReferenceLoaded) ApplyLeftReference();
}

bool TResponsePlot::Enabled() const { return FSweepGenerator && FSweepGenerator->Enabled(); }

void TResponsePlot::SetEnabled(bool value) {
  if (FSweepGenerator) FSweepGenerator->SetEnabled(value);
}

void TResponsePlot::SetOnSweepOpen(TNotifyEvent handler) {
  if (FSweepGenerator) FSweepGenerator->SetOnOpen(std::move(handler));
}

void TResponsePlot::SetOnSweepClose(TNotifyEvent handler) {
  if (FSweepGenerator) FSweepGenerator->SetOnClose(std::move(handler));
}

float TResponsePlot::LeftAmplitude() const {
  return FSweepGenerator ? FSweepGenerator->LeftAmplitude() : 0.0f;
}

void TResponsePlot::SetLeftAmplitude(float value) {
  if (FSweepGenerator) FSweepGenerator->SetLeftAmplitude(value);
}

float TResponsePlot::RightAmplitude() const {
  return FSweepGenerator ? FSweepGenerator->RightAmplitude() : 0.0f;
}

void TResponsePlot::SetRightAmplitude(float value) {
  if (FSweepGenerator) FSweepGenerator->SetRightAmplitude(value);
}

void TResponsePlot::SetMinFrequency(int hz) {
  if (hz == FMinFrequency) return;
  FMinFrequency = hz;
  UpdateSweepRange();
}

void TResponsePlot::SetMaxFrequency(int hz) {
  if (hz == FMaxFrequency) return;
  FMaxFrequency = hz;
  UpdateSweepRange();
}

void TResponsePlot::SetLogSweep(bool value) {
  if (value == FLogSweep) return;
  FLogSweep = value;
  FSweepGenerator->SetLeftLog(value);
  FSweepGenerator->SetRightLog(value);
  if (FLabelsCreated) UpdateScaleLabels();
  UpdateSweepRange();
}

void TResponsePlot::SetSteppedSweep(bool value) {
  if (value == FSteppedSweep) return;
  FSteppedSweep = value;
  FSweepGenerator->SetLeftStepped(value);
  FSweepGenerator->SetRightStepped(value);
  update();  // the grid has no vertical lines in stepped sweep
}

void TResponsePlot::SetDeclick(bool value) {
  if (value == FDeclick) return;
  FDeclick = value;
  FSweepGenerator->SetLeftDeclick(value);
  FSweepGenerator->SetRightDeclick(value);
}

void TResponsePlot::SetSlowSweep(bool value) {
  if (value == FSlowSweep) return;
  FSlowSweep = value;
  FSweepGenerator->SetSlowSweep(value);
  if (TWaveIn* source = Source()) source->SetBufferSamples(FSweepGenerator->BufferSamples());
  UpdateSweepRange();
}

int TResponsePlot::SlowSweepActiveSeconds() const {
  return FSweepGenerator ? FSweepGenerator->SlowSweepActiveSeconds() : 0;
}

void TResponsePlot::SetSlowSweepActiveSeconds(int seconds) {
  if (seconds == FLastActiveSeconds) return;
  FLastActiveSeconds = seconds;
  FSweepGenerator->SetSlowSweepActiveSeconds(seconds);
  FActiveSteps = FSweepGenerator->SlowSweepActiveSteps();
  if (FActiveSteps != 0) {
    FPointCount = 0;
    UpdateSweepRange();
  }
}

int TResponsePlot::SlowSweepSilentSeconds() const {
  return FSweepGenerator ? FSweepGenerator->SlowSweepSilentSeconds() : 0;
}

void TResponsePlot::SetSlowSweepSilentSeconds(int seconds) {
  if (seconds == FLastSilentSeconds) return;
  FLastSilentSeconds = seconds;
  FSweepGenerator->SetSlowSweepSilentSeconds(seconds);
  FSilentSteps = FSweepGenerator->SlowSweepSilentSteps();
}

void TResponsePlot::SetLeftIsReference(bool value) {
  FLeftIsReference = value;
  FAveragingCount = 0;
  update();
}

void TResponsePlot::SetSource(TWaveIn* source) {
  TFrequencyPlot::SetSource(source);
  if (!FSweepGenerator) return;
  FSweepGenerator->SetAssociatedInput(source);
  if (source) source->SetBufferSamples(FSweepGenerator->BufferSamples());
}

int TResponsePlot::Points() const {
  return FSlowSweep ? std::max(FActiveSteps, 0) : std::max(W(), 0);
}

std::span<const float> TResponsePlot::Frequencies() const {
  const auto& table = FColumns[kFrequencyTable];
  return {table.data(), std::min<std::size_t>(table.size(), Points())};
}

std::span<const float> TResponsePlot::LeftLevels() const {
  return {FColumns[0].data(), std::min<std::size_t>(FColumns[0].size(), Points())};
}

std::span<const float> TResponsePlot::RightLevels() const {
  return {FColumns[1].data(), std::min<std::size_t>(FColumns[1].size(), Points())};
}

void TResponsePlot::EnsureCapacity() {
  // Nothing before the base has laid out a width: the arrays do not exist yet.
  if (FColumns[0].empty()) return;
  const std::size_t steps = static_cast<std::size_t>(std::max(FActiveSteps, 0));
  const std::size_t w = static_cast<std::size_t>(std::max(W(), 0));
  const std::size_t levels = std::max(w, steps), vertices = std::max(w, 2 * steps);
  for (auto& column : FColumns)
    if (column.size() < levels) column.resize(levels);
  if (FLeftPoints.size() < vertices) FLeftPoints.resize(vertices);
  if (FRightPoints.size() < vertices) FRightPoints.resize(vertices);
  FRuns.reserve(levels);
}

void TResponsePlot::BoundsChanged() {
  TFrequencyPlot::BoundsChanged();
  if (W() >= 1 && W() != FBuiltW && FSweepGenerator) {
    // The base has new arrays of the new width: rebuild the points (this places the labels).
    FBuiltW = W();
    UpdateSweepRange();
    return;
  }
  if (FLabelsCreated) UpdateScaleLabels();
}

void TResponsePlot::UpdateSweepRange() {
  if (FMinFrequency < 1) FMinFrequency = 1;
  FMinFrequency = std::min(FMinFrequency, INT_MAX - 1);
  if (FMinFrequency >= FMaxFrequency) FMaxFrequency = FMinFrequency + 1;
  if (FSweepGenerator) {
    FSweepGenerator->SetLeftFrequency(static_cast<float>(FMinFrequency));
    FSweepGenerator->SetRightFrequency(static_cast<float>(FMinFrequency));
    FSweepGenerator->SetLeftMaxFrequency(static_cast<float>(FMaxFrequency));
    FSweepGenerator->SetRightMaxFrequency(static_cast<float>(FMaxFrequency));
  }
  FAveragingCount = 0;
  if (FLabelsCreated) UpdateScaleLabels();
  EnsureCapacity();
  if (FColumns[0].empty()) return;
  FMeasured = false;
  const int last = Points() - 1;
  FLastColumn = last;
  if (last >= 0) {
    // Single precision throughout, the factor made as the generator makes its slow step, so
    // that in slow sweep every entry is the very frequency the step plays.
    float* table = FColumns[kFrequencyTable].data();
    table[0] = static_cast<float>(FMinFrequency);
    if (last > 0) {
      const float factor = static_cast<float>(
          std::exp(std::log(static_cast<double>(FMaxFrequency) / FMinFrequency) / last));
      const float increment =
          static_cast<float>((static_cast<double>(FMaxFrequency) - FMinFrequency) / last);
      for (int i = 1; i <= last; ++i)
        table[i] = FLogSweep ? table[i - 1] * factor : table[i - 1] + increment;
    }
  }
  RebuildCalibrationTable();
  ApplyLeftReference();
}

void TResponsePlot::RebuildCalibrationTable() {
  FCalibrationdB.clear();
  if (!FCalibration || FCalibration->Empty() || FColumns[0].empty()) return;
  const std::size_t points = std::min<std::size_t>(static_cast<std::size_t>(std::max(Points(), 0)),
                                                   FColumns[kFrequencyTable].size());
  for (std::size_t i = 0; i < points; ++i)
    FCalibrationdB.push_back(static_cast<float>(FCalibration->GaindB(FColumns[kFrequencyTable][i])));
}

void TResponsePlot::SetCalibration(std::shared_ptr<const TCalibration> calibration) {
  const std::vector<float> before = FCalibrationdB;
  FCalibration = std::move(calibration);
  RebuildCalibrationTable();
  // What was measured was measured under the old curve: swap it for the new one.
  if (FMeasured) {
    const int points = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(Points(), 0)),
                                                              FColumns[1].size()));
    for (int i = 0; i < points; ++i) {
      const float old = static_cast<std::size_t>(i) < before.size() ? before[static_cast<std::size_t>(i)] : 0.0f;
      const float change = old - CalibrationAt(i);
      FColumns[1][i] += change;
      if (!FLeftFromFile) FColumns[0][i] += change;
    }
  }
  update();
}

// ---------------------------------------------------------------------------------------------
// Measurement

void TResponsePlot::ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) {
  if (!samples || !FSweepGenerator || frameCount <= 0) {
    FPointCount = 0;
    update();
    return;
  }
  TakeBlock(samples, frameCount);
  // A sweep measured once and being stopped keeps its trace: blocks still in flight change nothing.
  if (!FCompleted) {
    bool complete = false;
    if (FSlowSweep) {
      FPointCount = MeasureSlow(frameCount);
      // A cycle with a step that could not be measured is no whole sweep: the next one may be.
      complete = FPointCount > 0 && FShownSteps == FActiveSteps && FCycleLost == 0;
    } else {
      FPointCount = MeasureFast(samples, frameCount);
      complete = FPointCount > 0;
    }
    if (FPointCount > 0) FMeasured = true;
    if (complete) SweepCompleted(continueFlag);
  }
  Redraw();
}

void TResponsePlot::SweepCompleted(bool& continueFlag) {
  if (!FStopAfterOne || FCompleted) return;
  FCompleted = true;
  continueFlag = false;
  // Not from inside the capture's notification: the generator's close waits for its own.
  QTimer::singleShot(0, this, [this] {
    try {
      SetEnabled(false);
    } catch (const std::exception& e) {
      ShowException(e);
    }
    if (FOnSweepComplete) FOnSweepComplete();
  });
}

int64_t TResponsePlot::ClockDelay() const {
  const int64_t played = FSweepGenerator ? FSweepGenerator->FirstBlockClock() : -1;
  if (played < 0 || FRunClock < 0 || FRunNumber != FSweepGenerator->RunNumber()) return kNoDelay;
  return played - FRunClock;
}

QString TResponsePlot::TimingText() const {
  if (FDelay != kNoDelay) {
    QString text = QString::asprintf("Round trip %.1f ms", FDelay * 1000.0 / kSampleRate);
    if (const int64_t clock = ClockDelay(); clock != kNoDelay)
      text += QString::asprintf(" (device clocks: %.0f ms)", clock * 1000.0 / kSampleRate);
    return text;
  }
  if (!Enabled()) {
    const TWaveIn* source = Source();
    return source && source->Enabled() ? QStringLiteral("No sweep is playing") : QString();
  }
  return FSlowSweep ? QStringLiteral("Looking for the timing marker in the capture")
                    : QStringLiteral("Looking for the sweep in the capture");
}

void TResponsePlot::TakeBlock(const int16_t* samples, int frameCount) {
  TWaveIn* source = Source();
  const wavehdr_tag* block = source ? source->CurrentBlock() : nullptr;
  const int64_t deviceFrame = block ? block->deviceFrame : -1;
  // A new enabling of the sweep, or a new opening of the capture, begins a run: the delay of
  // the last one says nothing of this one.
  const bool newRun = FRunNumber != FSweepGenerator->RunNumber() || (source && source->BufferNumber() == 0);
  int64_t first = FCaptured;
  if (!newRun && deviceFrame >= 0) {
    first = deviceFrame - FRunOrigin;
    // The device counted backwards: not the stretch this run has been reading.
    if (first < FCaptured) first = -1;
  }
  if (newRun || first < 0) {
    FRunNumber = FSweepGenerator->RunNumber();
    FRunOrigin = deviceFrame >= 0 ? deviceFrame : 0;
    FRunClock = -1;
    FCaptured = first = 0;
    FRingFrom = 0;
    FDelay = kNoDelay;
    FDelayClarity = 0;
    FCycleLost = 0;
    FLastLag = -1;
    FNextBlock = 0;
    FShownCycle = -1;
    FShownSteps = 0;
    FCompleted = false;
  }
  if (first > FCaptured) FRingFrom = first;  // frames were lost: nothing before them is continuous
  // The clock of run frame 0 as this block tells it: a server hands its first frames over in
  // bursts, so a first block's clock can read late; the earliest is the truest.
  if (block && block->deviceClock >= 0) {
    const int64_t clock = block->deviceClock - first;
    FRunClock = FRunClock < 0 ? clock : std::min(FRunClock, clock);
  }
  if (FRing.empty()) FRing.assign(2 * static_cast<std::size_t>(kRingFrames), 0);
  const int keep = std::min(frameCount, kRingFrames);
  const int16_t* from = samples + 2 * static_cast<std::size_t>(frameCount - keep);
  for (int64_t c = first + (frameCount - keep), done = 0; done < keep;) {
    const int64_t at = c & (kRingFrames - 1);
    const int64_t run = std::min<int64_t>(keep - done, kRingFrames - at);
    std::memcpy(&FRing[2 * static_cast<std::size_t>(at)], from + 2 * done, static_cast<std::size_t>(run) * 4);
    done += run;
    c += run;
  }
  FCaptured = first + frameCount;
  FRingFrom = std::max(FRingFrom, FCaptured - kRingFrames);
}

void TResponsePlot::RingLevels(int64_t from, int count, double& left, double& right) const {
  double sumLeft = 0, sumRight = 0, squaresLeft = 0, squaresRight = 0;
  for (int j = 0; j < count; ++j) {
    const int16_t* s = &FRing[2 * static_cast<std::size_t>((from + j) & (kRingFrames - 1))];
    const double l = s[0], r = s[1];
    sumLeft += l;
    sumRight += r;
    squaresLeft += l * l;
    squaresRight += r * r;
  }
  // The mean goes: an offset or a slow drift is no part of the tone's level.
  const double n = std::max(count, 1);
  left = std::max(0.0, squaresLeft / n - (sumLeft / n) * (sumLeft / n));
  right = std::max(0.0, squaresRight / n - (sumRight / n) * (sumRight / n));
}

void TResponsePlot::EnsureFastReference(int frames) {
  const TAudioSweepGenerator& g = *FSweepGenerator;
  const std::vector<float> key = {static_cast<float>(frames), g.LeftFrequency(), g.LeftMaxFrequency(),
                                  g.RightFrequency(), g.RightMaxFrequency(), float(g.LeftStepped()),
                                  float(g.RightStepped()), float(g.LeftDeclick()), float(g.RightDeclick()),
                                  float(g.LeftLog()), float(g.RightLog()), float(g.LeftAmplitude() != 0),
                                  float(g.RightAmplitude() != 0)};
  if (FReferenceKind == TReference::Fast && key == FReferenceKey) return;
  // The block as played, but for its phase, which runs on from block to block and which the
  // correlation's envelope ignores; the level does not count either. The same a quarter period
  // on: a block of any phase is a mix of the two, which the columns are fitted with.
  const std::size_t n = static_cast<std::size_t>(frames);
  std::vector<int16_t> block(2 * n, 0), quarter(2 * n, 0);
  for (int ch = 0; ch < 2; ++ch) {
    FFitReal[ch].assign(n, 0.0f);
    FFitQuadrature[ch].assign(n, 0.0f);
    if ((ch == 0 ? g.LeftAmplitude() : g.RightAmplitude()) == 0) continue;
    const int steps = (ch == 0 ? g.LeftStepped() : g.RightStepped()) ? kSteppedSweepSteps : kSmoothSweepSteps;
    const bool declick = ch == 0 ? g.LeftDeclick() : g.RightDeclick();
    const bool log = ch == 0 ? g.LeftLog() : g.RightLog();
    const float from = ch == 0 ? g.LeftFrequency() : g.RightFrequency();
    const float to = ch == 0 ? g.LeftMaxFrequency() : g.RightMaxFrequency();
    uint32_t phase = 0;
    TAudioSweepGenerator::FillSweepChannel(block.data(), frames, ch, steps, declick, log, from, to, 0.5f, phase);
    phase = (kPhaseMask + 1) / 4;
    TAudioSweepGenerator::FillSweepChannel(quarter.data(), frames, ch, steps, declick, log, from, to, 0.5f, phase);
    for (std::size_t k = 0; k < n; ++k) {
      FFitReal[ch][k] = block[2 * k + ch];
      FFitQuadrature[ch][k] = quarter[2 * k + ch];
    }
  }
  FFinder.SetReference(block.data(), frames, frames, TDelayFinder::TMode::Circular);
  FReferenceKind = TReference::Fast;
  FReferenceKey = key;
}

void TResponsePlot::EnsureMarkerReference() {
  const TAudioSweepGenerator& g = *FSweepGenerator;
  const std::vector<float> key = {float(g.LeftAmplitude() != 0), float(g.RightAmplitude() != 0)};
  if (FReferenceKind == TReference::Marker && key == FReferenceKey) return;
  std::vector<int16_t> marker(2 * static_cast<std::size_t>(kMarkerFrames), 0);
  if (g.LeftAmplitude() != 0) TAudioSweepGenerator::FillMarkerChannel(marker.data(), kMarkerFrames, 0, 0.5f);
  if (g.RightAmplitude() != 0) TAudioSweepGenerator::FillMarkerChannel(marker.data(), kMarkerFrames, 1, 0.5f);
  FFinder.SetReference(marker.data(), kMarkerFrames, kMarkerSearchFrames, TDelayFinder::TMode::Linear);
  FReferenceKind = TReference::Marker;
  FReferenceKey = key;
  FScratch.assign(2 * static_cast<std::size_t>(kMarkerSearchFrames), 0);
}

void TResponsePlot::EnsureColumnWindows(int frames) {
  const TAudioSweepGenerator& g = *FSweepGenerator;
  const int w = W();
  const int steps = g.LeftStepped() ? kSteppedSweepSteps : kSmoothSweepSteps;
  const std::vector<float> key = {static_cast<float>(frames), static_cast<float>(w), static_cast<float>(steps)};
  if (key == FWindowKey) return;
  FWindowKey = key;
  const TSweepLayout layout = SweepLayout(frames, steps);
  const int tone = steps * layout.SegmentFrames;
  FColumnFrames = std::max(0, (frames - g.PreSilence() - g.PostSilence()) / std::max(w, 1));
  FColumnStarts.assign(static_cast<std::size_t>(std::max(w, 0)), 0);
  // Column i reads the frequency of its point: the segment a fraction i / (W - 1) along the
  // sweep, its window centred on that segment and kept inside the tone.
  for (int i = 0; i < w; ++i) {
    const double segment = w > 1 ? static_cast<double>(i) * (steps - 1) / (w - 1) : (steps - 1) / 2.0;
    const double centre = (segment + 0.5) * layout.SegmentFrames;
    const long start = std::lrint(centre - FColumnFrames / 2.0);
    FColumnStarts[static_cast<std::size_t>(i)] =
        static_cast<int>(std::clamp<long>(start, 0, std::max(0, tone - FColumnFrames)));
  }
}

int TResponsePlot::MeasureFast(const int16_t* samples, int frameCount) {
  const TAudioSweepGenerator& generator = *FSweepGenerator;
  if (frameCount < generator.FastSweepSamples()) return 0;
  const int w = W();
  if (w < 1 || FColumns[0].size() < static_cast<std::size_t>(w)) return 0;
  const int n = frameCount;
  EnsureColumnWindows(n);
  const int c = FColumnFrames;
  if (c < 1) return 0;
  EnsureFastReference(n);
  // Where the last block held the sweep, the next holds it too unless the sound system slipped:
  // a look at that one lag costs a tenth of a search.
  TDelayResult found;
  if (FLastLag >= 0) {
    const double coherence = FFinder.CoherenceAt(samples, n, FLastLag);
    if (coherence >= kKeptCoherence * FLastCoherence) {
      found.Found = true;
      found.Lag = FLastLag;
      found.Coherence = coherence;
      found.Clarity = FDelayClarity;
    }
  }
  if (!found.Found) {
    found = FFinder.Find(samples, n);
    FLastCoherence = found.Coherence;
  }
  const int64_t blockStart = FCaptured - n;
  if (!found.Found) {
    FLastLag = -1;
    return 0;
  }
  // The block before counts only if it held the sweep at the same place: before the sweep first
  // came back it held nothing that was played.
  const int lagMoved = std::abs(found.Lag - FLastLag);
  const bool continued = FLastLag >= 0 && std::min(lagMoved, n - lagMoved) <= kLagTolerance;
  FLastLag = found.Lag;
  const int64_t valid = std::max(FRingFrom, continued ? blockStart - n : blockStart);

  const int steps = generator.LeftStepped() ? kSteppedSweepSteps : kSmoothSweepSteps;
  const int leadIn = SweepLayout(n, steps).FirstFrame;
  const int pre = generator.PreSilence();
  // Every repetition's tone begins at a run frame s = blockStart + lag + leadIn (mod n): take the
  // latest one whose columns are all captured.
  const int64_t end = *std::max_element(FColumnStarts.begin(), FColumnStarts.begin() + w) + c;
  const int64_t base = blockStart + found.Lag + leadIn;
  const int64_t latest = FCaptured - end;
  if (latest < base - n) return 0;
  const int64_t s = base + FloorDiv(latest - base, n) * n;
  // The offsets come from the middle of the silent lead-in, as played.
  const int64_t offsetsFrom = s - leadIn + pre / 4;
  const int offsetFrames = pre / 2;
  if (offsetsFrom < valid) return 0;

  // A delay known only modulo the block is placed by the devices' clocks where they keep one.
  int64_t delay = ((blockStart + found.Lag) % n + n) % n;
  if (const int64_t clock = ClockDelay(); clock != kNoDelay)
    delay += n * std::llround(static_cast<double>(clock - delay) / n);
  FDelay = delay;
  FDelayClarity = found.Clarity;

  const auto at = [this](int64_t frame) { return &FRing[2 * static_cast<std::size_t>(frame & (kRingFrames - 1))]; };
  int leftOffset = 0, rightOffset = 0;
  if (offsetFrames > 0) {
    int64_t left = 0, right = 0;
    for (int j = 0; j < offsetFrames; ++j) {
      const int16_t* f = at(offsetsFrom + j);
      left += f[0];
      right += f[1];
    }
    leftOffset = static_cast<int>(left / offsetFrames);
    rightOffset = static_cast<int>(right / offsetFrames);
  }

  float* left = FColumns[0].data();
  float* right = FColumns[1].data();
  const bool measureLeft = !FReferenceLoaded;
  // A column holds 100 frames, less than a period below 441 Hz: the mean square of so short a
  // stretch of a sine depends on where its phase falls. So each column is fitted with what was
  // played there and that a quarter period on (the sweep played from two phases): any
  // phase the device gives the tone is a mix of the two, and the mix's amplitude is the level,
  // whatever part of a period the column holds. Noise and hum, which the sweep does not carry,
  // stay out of it. Where the two span no plane (a column a tiny part of a period long) the
  // mean square stands in.
  const int leadInReference = leadIn;
  for (int ch = 0; ch < 2; ++ch) {
    if (ch == 0 && !measureLeft) continue;
    float* levels = ch == 0 ? left : right;
    const int offset = ch == 0 ? leftOffset : rightOffset;
    const bool fit = FFinder.ChannelTakesPart(ch);
    const float* real = FFitReal[ch].data();
    const float* imag = FFitQuadrature[ch].data();
    for (int i = 0; i < w; ++i) {
      const int start = FColumnStarts[static_cast<std::size_t>(i)];
      const int64_t first = s + start;
      double rr = 0, qq = 0, rq = 0, xr = 0, xq = 0;
      float squares = kSumStart;
      for (int j = 0; j < c; ++j) {
        const int32_t x = LessOffset(at(first + j)[ch], offset);
        squares += static_cast<float>(x * x);
        if (!fit) continue;
        const int k = (leadInReference + start + j) % n;
        const double r = real[k], q = imag[k];
        rr += r * r, qq += q * q, rq += r * q, xr += x * r, xq += x * q;
      }
      const double det = rr * qq - rq * rq;
      if (fit && det > 1e-6 * rr * qq) {
        const double a = (xr * qq - xq * rq) / det, b = (xq * rr - xr * rq) / det;
        // The gain times what was played there: the two phases' squares add up to the square
        // of the sweep's envelope (faded in and out with "Declick"), whatever the phase.
        const double played = (rr + qq) / 2 / c;
        levels[i] = static_cast<float>((a * a + b * b) * played / kFullScaleSquare + kSumStart / kFullScaleSquare);
      } else {
        levels[i] = squares / kFullScaleSquare / static_cast<float>(c);
      }
    }
  }
  if (measureLeft) {
    PowerVectorTodB(left, w);
    FLeftFromFile = false;
  }
  PowerVectorTodB(right, w);

  float* copyLeft = FColumns[2].data();
  float* copyRight = FColumns[3].data();
  nspsbCopy(left, copyLeft, w);
  nspsbCopy(right, copyRight, w);
  // A loaded reference was smoothed once when it was laid on the points; again with every block
  // it would blur as the sweep runs.
  if (measureLeft) Smooth(FTraceSmoothing, copyLeft, left, w);
  Smooth(FTraceSmoothing, copyRight, right, w);

  if (MovingAverage()) {
    float* previousLeft = FColumns[4].data();
    float* previousRight = FColumns[5].data();
    if (FAveragingCount > 0)
      for (int j = 0; j < w; ++j) {
        if (measureLeft) left[j] = static_cast<float>((2.0 * previousLeft[j] + left[j]) / 3.0);
        right[j] = static_cast<float>((2.0 * previousRight[j] + right[j]) / 3.0);
      }
    nspsbCopy(left, previousLeft, w);
    nspsbCopy(right, previousRight, w);
    ++FAveragingCount;
  }
  // Off what is shown, not off the running average, which a new curve would otherwise drag.
  if (!FCalibrationdB.empty())
    for (int j = 0; j < w; ++j) {
      if (measureLeft) left[j] -= CalibrationAt(j);
      right[j] -= CalibrationAt(j);
    }
  return w;
}

int TResponsePlot::MeasureSlow(int frameCount) {
  (void)frameCount;  // the ring knows where the block went
  const TAudioSweepGenerator& g = *FSweepGenerator;
  const int active = g.SlowSweepActiveSteps(), silent = g.SlowSweepSilentSteps();
  const int length = g.SlowSweepSamples();
  if (active <= 0 || length <= kSettleFrames + kTailFrames ||
      FColumns[1].size() < static_cast<std::size_t>(active))
    return 0;
  EnsureMarkerReference();
  const float* table = FColumns[kFrequencyTable].data();
  const std::size_t tableSize = FColumns[kFrequencyTable].size();
  // Each played block in turn, as far as the capture reaches: a marker places the run, a step is
  // read once its window has been captured.
  for (int guard = 0; guard < 4 * kRingFrames / length; ++guard) {
    int step = 0;
    int64_t cycle = 0;
    const TSlowBlock kind = SlowBlockKind(FNextBlock, active, silent, step, cycle);
    const int64_t played = FNextBlock * length;
    if (kind == TSlowBlock::Silent) {
      ++FNextBlock;
      continue;
    }
    if (kind == TSlowBlock::Marker) {
      // The search reaches over kMarkerSearchFrames from a little before where the marker should
      // come back: by the delay found before (the step before it may still ring until then), or
      // the devices' clocks, or without either from the start of the lead-in.
      const int64_t clock = ClockDelay();
      const int64_t expected = FDelay != kNoDelay ? FDelay - kResyncMargin
                               : clock != kNoDelay ? clock - kClockMargin
                                                   : -int64_t{kSlowLeadInBlocks} * length;
      const int64_t start = std::max<int64_t>(0, played + expected);
      if (FCaptured < start + kMarkerFrames + kMarkerRingOut) break;
      if (start < FRingFrom) {  // what held it is gone: the next marker will do
        ++FNextBlock;
        continue;
      }
      const int count = static_cast<int>(std::min<int64_t>(kMarkerSearchFrames, FCaptured - start));
      for (int j = 0; j < count; ++j)
        std::memcpy(&FScratch[2 * static_cast<std::size_t>(j)],
                    &FRing[2 * static_cast<std::size_t>((start + j) & (kRingFrames - 1))], 4);
      const TDelayResult found = FFinder.Find(FScratch.data(), count);
      if (found.Found && found.Lag + kMarkerFrames + kMarkerRingOut <= count) {
        // A marker is followed by the rest of its block in silence; a tone starting in a quiet
        // capture can look like one (the chirp passes its frequency), but goes on sounding.
        const int64_t at = start + found.Lag;
        const int64_t quietFrom = at + kMarkerFrames + kMarkerQuietGap, quietTo = at + length - kMarkerQuietGap;
        if (FCaptured < quietTo) break;  // not all heard yet
        double markerLeft = 0, markerRight = 0, restLeft = 0, restRight = 0;
        RingLevels(at, kMarkerFrames, markerLeft, markerRight);
        RingLevels(quietFrom, static_cast<int>(quietTo - quietFrom), restLeft, restRight);
        if (restLeft + restRight < kMarkerQuietShare * (markerLeft + markerRight)) {
          FDelay = at - played;
          FDelayClarity = found.Clarity;
        } else if (count < kMarkerSearchFrames) {
          break;
        }
      } else if (count < kMarkerSearchFrames) {
        break;  // it may still be on its way
      }
      ++FNextBlock;  // found, or not within reach: the delay found before stands
      continue;
    }
    // A step: the frames that lie wholly inside it once the device has settled, as many whole
    // periods of its frequency as fit, so that a low tone's level does not depend on where
    // the window cuts its period.
    int frames = length - kSettleFrames - kTailFrames;
    const float hz = static_cast<std::size_t>(step) < tableSize ? table[step] : 0.0f;
    if (hz > 0) {
      const double periods = std::floor(frames * static_cast<double>(hz) / kSampleRate);
      if (periods >= 1) frames = std::min<int>(frames, static_cast<int>(std::lrint(periods * kSampleRate / hz)));
    }
    const bool placed = FDelay != kNoDelay;
    const int64_t from = (placed ? FDelay : 0) + played + kSettleFrames;
    if (placed && from + frames > FCaptured) break;
    const bool measurable = placed && from >= FRingFrom;
    double left = 0, right = 0;
    if (measurable) RingLevels(from, frames, left, right);
    // Not placed, or no longer captured: no level rather than a wrong one.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (!FReferenceLoaded)
      FColumns[0][step] = measurable ? PowerTodB(left / kFullScaleSquare) - CalibrationAt(step) : nan;
    if (!FReferenceLoaded) FLeftFromFile = false;
    FColumns[1][step] = measurable ? PowerTodB(right / kFullScaleSquare) - CalibrationAt(step) : nan;
    if (cycle != FShownCycle || step == 0) FCycleLost = 0;
    FCycleLost += measurable ? 0 : 1;
    FShownCycle = cycle;
    FShownSteps = step + 1;
    ++FNextBlock;
  }
  return FShownSteps;
}

// ---------------------------------------------------------------------------------------------
// Response files

bool TResponsePlot::SaveResponse(const QString& fileName) {
  const std::size_t count = std::min<std::size_t>(
      {static_cast<std::size_t>(std::max(FPointCount, 0)), FColumns[1].size()});
  if (count == 0 || !FMeasured) {
    ShowMessage("Nothing was written to \"" + fileName.toStdString() +
                "\": no response has been measured since the analyser last started or the sweep's "
                "frequencies last changed.");
    return false;
  }
  // A step that could not be measured has no line in the file.
  std::vector<float> frequencies, levels;
  for (std::size_t i = 0; i < count; ++i) {
    const float level = FLeftIsReference ? FColumns[1][i] - FColumns[0][i] : FColumns[1][i];
    if (!std::isfinite(level)) continue;
    frequencies.push_back(FColumns[kFrequencyTable][i]);
    levels.push_back(level);
  }
  if (levels.empty()) {
    ShowMessage("Nothing was written to \"" + fileName.toStdString() +
                "\": no point of the response could be measured: the sweep was not found in the capture.");
    return false;
  }
  const QByteArray text = FormatResponse(frequencies, levels, UserDecimalPoint());

  const QString failure = WriteWholeFile(fileName, text);
  if (failure.isEmpty()) return true;
  ShowMessage("Could not write the response file \"" + fileName.toStdString() + "\": " +
              failure.toStdString() + ".");
  return false;
}

void TResponsePlot::LoadLeftReference(const QString& fileName) {
  FReferenceFileName = fileName;
  const bool wasLoaded = FReferenceLoaded;
  FReferenceLoaded = false;
  FReferenceCount = 0;
  if (fileName.isEmpty()) {
    // Levels from a file go, also the points of one that failed to load; measured ones stay.
    if (wasLoaded || FLeftFromFile) std::fill(FColumns[0].begin(), FColumns[0].end(), 0.0f);
    FLeftFromFile = false;
    FAveragingCount = 0;
    update();
    return;
  }
  std::fill(FColumns[0].begin(), FColumns[0].end(), 0.0f);
  FReference[0] = {0.0f, 0.0f};

  const std::string name = fileName.toStdString();
  const QChar decimalPoint = UserDecimalPoint();
  QString failure;
  bool filledUp = false;
  QFile file(fileName);
  // Opening a pipe or a device would wait or never end.
  if (const QFileInfo info(fileName); info.exists() && !info.isFile()) {
    failure = QStringLiteral("it is not a plain file");
  } else if (!file.open(QIODevice::ReadOnly)) {
    failure = file.errorString();
  } else {
    FReferenceCount = ReadReference(file, decimalPoint, FReference, failure, filledUp);
    file.close();
    // An empty or foreign file would otherwise be taken as a flat 0 dB reference.
    if (failure.isEmpty() && FReferenceCount == 0)
      failure = QStringLiteral("it holds no frequency and level pairs");
  }
  FReferenceLoaded = failure.isEmpty();
  FReference[FReferenceCount + 1] = {0.0f, 0.0f};
  if (!failure.isEmpty())
    ShowMessage("Could not read the reference file \"" + name + "\": " + failure.toStdString() + ".");
  if (filledUp)
    ShowMessage("Warning - more points in data file than can be held in memory.  A maximum of " +
                    std::to_string(kReferencePoints) + " points can be accomodated.",
                "Error reading data file: " + name);
  FAveragingCount = 0;
  ApplyLeftReference();
}

void TResponsePlot::ApplyLeftReference() {
  if (FColumns[0].empty()) return;
  const int count = std::clamp(FReferenceCount, 0, kReferencePoints);
  FReference[count + 1].Frequency = static_cast<float>(FMaxFrequency + kEndEntryDistance);
  const int points = static_cast<int>(std::min<std::size_t>(
      {static_cast<std::size_t>(Points()), FColumns[0].size(), FColumns[kFrequencyTable].size()}));
  InterpolateReference(FReference.data(), count, FColumns[kFrequencyTable].data(), points,
                       FColumns[0].data());
  FLeftFromFile = count > 0;
  // Smoothed once, as the measured traces are, so that a response saved and loaded back lies
  // on itself.
  if (FReferenceLoaded && !FSlowSweep && points > 0) {
    float* copy = FColumns[2].data();
    nspsbCopy(FColumns[0].data(), copy, points);
    Smooth(FTraceSmoothing, copy, FColumns[0].data(), points);
  }
  FPointCount = points;
  update();
}

// ---------------------------------------------------------------------------------------------
// Drawing, captions and the mouse

QLabel* TResponsePlot::Label(const QString& suffix) const {
  QWidget* parent = parentWidget();
  return parent ? parent->findChild<QLabel*>(objectName() + suffix, Qt::FindDirectChildrenOnly)
                : nullptr;
}

void TResponsePlot::UpdateScaleLabels() {
  QWidget* parent = parentWidget();
  if (!parent) return;
  if (!FLabelsCreated) {
    const auto create = [&](const char* axis, int count) {
      for (int n = 0; n < count; ++n) {
        auto* label = new QLabel(parent);
        label->setObjectName(objectName() + QLatin1String(axis) + QString::number(n));
        label->hide();
      }
    };
    create("_X", kFrequencyLabels);
    create("_Y", kLevelLabels);
    FLabelsCreated = true;
    FLayoutReady = true;
  }
  std::array<QLabel*, kFrequencyLabels> xs{};
  std::array<QLabel*, kLevelLabels> ys{};
  for (int n = 0; n < kFrequencyLabels; ++n)
    if ((xs[n] = Label(QStringLiteral("_X") + QString::number(n)))) xs[n]->hide();
  for (int n = 0; n < kLevelLabels; ++n)
    if ((ys[n] = Label(QStringLiteral("_Y") + QString::number(n)))) ys[n]->hide();
  const QRect bounds = geometry();

  // Level texts first, so that one font can be chosen that fits all of them left of the plot.
  std::vector<std::pair<QLabel*, int>> levels;  // label, row
  const int step = DecibelGridStep(MaxdB() - MindB());
  int k = 0;
  for (int d = MindB(); d <= MaxdB() && k < kLevelLabels; ++d) {
    if (d % step != 0) continue;
    if (QLabel* label = ys[k]) {
      label->setText(QString::number(d));
      levels.push_back({label, LevelToRow(static_cast<float>(d))});
    }
    ++k;
  }
  constexpr int gap = 4;
  QFont font = parent->font();
  int pixels = QFontInfo(font).pixelSize();
  const auto widest = [&] {
    int w = 0;
    for (auto& [label, row] : levels) {
      label->setFont(font);
      w = std::max(w, label->sizeHint().width());
    }
    return w;
  };
  while (widest() > bounds.left() - gap && pixels > 6) font.setPixelSize(--pixels);
  for (auto& [label, row] : levels) {
    label->adjustSize();
    label->move(std::max(0, bounds.left() - label->width() - gap),
                bounds.top() + row - label->height() / 2);
    label->show();
  }

  const int count = FSteppedSweep ? kFrequencyLabels - 1 : kFrequencyLabels;
  const double ratio = std::pow(static_cast<double>(FMaxFrequency) / FMinFrequency, 0.1);
  const double increment = (static_cast<double>(FMaxFrequency) - FMinFrequency) / 10;
  double v = FMinFrequency;
  for (int n = 0; n < count; ++n) {
    if (QLabel* label = xs[n]) {
      const int x = FSteppedSweep ? (4 * n + 1) * W() / 40 : n * W() / 10;
      label->setFont(font);
      label->setText(QString::asprintf("%.0f", v));
      label->adjustSize();
      label->move(bounds.left() + x - label->width() / 2, bounds.top() + bounds.height() + 6);
      label->show();
    }
    v = FLogSweep ? v * ratio : v + increment;
  }
}

void TResponsePlot::DrawDisplay(TCanvas& canvas) {
  const int64_t started = PerfCounter();
  canvas.SetPenStyle(psSolid);
  canvas.SetPenColour(QColor(0, 255, 0));
  const auto line = [&canvas](int x0, int y0, int x1, int y1) {
    canvas.MoveTo(x0, y0);
    canvas.LineTo(x1, y1);
  };
  const int step = DecibelGridStep(MaxdB() - MindB());
  for (int d = MindB(); d <= MaxdB(); ++d)
    if (d % step == 0) {
      const int y = LevelToRow(static_cast<float>(d));
      line(1, y, width() - 1, y);
    }
  if (!FSteppedSweep)
    for (int i = 1; i <= 9; ++i) {
      const int x = i * W() / 10 + 1;
      line(x, 1, x, H() + 1);
    }
  if (FPointCount > 0) {
    std::string failure;
    try {
      DrawTraces(canvas);
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unknown error";
    }
    // The grid stays; one message rather than one per paint.
    if (!failure.empty() && !FDrawFailureShown) {
      FDrawFailureShown = true;
      ShowMessage("The frequency response could not be drawn: " + failure);
    }
  }
  if (TWaveIn* source = Source()) source->PlotTicks += static_cast<double>(PerfCounter() - started);
}

int TResponsePlot::BuildTrace(const float* rows, int first, int count, QPoint* points) const {
  // Lines to rows far off the plot would be walked pixel by pixel; two plot heights beyond
  // either edge keep every visible pixel where it was.
  const int32_t low = -2 * H(), high = 3 * H() + 3;
  const auto row = [&](int i) { return std::clamp(std::bit_cast<int32_t>(rows[i]), low, high); };
  if (!FSlowSweep) {
    for (int i = 0; i < count; ++i) points[i] = QPoint(first + i + 1, row(first + i));
    return count;
  }
  const int64_t w = W(), steps = FActiveSteps;
  for (int k = 0; k < count; ++k) {
    const int64_t i = first + k;
    const int r = row(static_cast<int>(i));
    points[2 * k] = QPoint(static_cast<int>(i * w / steps) + 1, r);
    points[2 * k + 1] = QPoint(static_cast<int>((i + 1) * w / steps) + 1, r);
  }
  return 2 * count;
}

void TResponsePlot::DrawLevels(TCanvas& canvas, const float* levels, int count, QPoint* points,
                               const QColor& colour) {
  // Rows go to column array 3, which may be where the levels are: each level is read first.
  float* rows = FColumns[2].data();
  FRuns.clear();
  for (int i = 0; i < count; ++i) {
    const bool measured = std::isfinite(levels[i]);
    if (measured && (FRuns.empty() || FRuns.back().second != i)) FRuns.push_back({i, i + 1});
    else if (measured) ++FRuns.back().second;
    rows[i] = measured ? levels[i] : 0.0f;
  }
  LevelsToRows(rows, rows, count, 0);
  canvas.SetPenColour(colour);
  // A step that could not be measured leaves a gap rather than a line through it.
  for (const auto& [from, to] : FRuns) {
    const int n = BuildTrace(rows, from, to - from, points);
    canvas.Polyline({points, static_cast<std::size_t>(n)});
  }
}

void TResponsePlot::DrawTraces(TCanvas& canvas) {
  const std::size_t vertices = FSlowSweep ? 2 : 1;
  int count = std::min(FPointCount, Points());
  count = static_cast<int>(std::min<std::size_t>(
      {static_cast<std::size_t>(std::max(count, 0)), FColumns[0].size(),
       FLeftPoints.size() / vertices, FRightPoints.size() / vertices}));
  if (count <= 0 || (FSlowSweep && FActiveSteps <= 0)) return;
  // Before a measurement only a loaded reference has levels to show.
  if (!FLeftIsReference) {
    if (FMeasured || FReferenceLoaded) DrawLevels(canvas, FColumns[0].data(), count, FLeftPoints.data(), QColor(0, 0, 255));
    if (FMeasured) DrawLevels(canvas, FColumns[1].data(), count, FRightPoints.data(), QColor(255, 0, 0));
  } else if (FMeasured) {
    float* difference = FColumns[2].data();
    nspsbSub3(FColumns[1].data(), FColumns[0].data(), difference, count);
    nspsbSub1(kDifferenceOffsetdB, difference, count);
    DrawLevels(canvas, difference, count, FRightPoints.data(), TraceColour());
  }
}

bool TResponsePlot::Readout(int x, int y, float& frequency, float& level) const {
  if (!FSlowSweep) return TFrequencyPlot::Readout(x, y, frequency, level);
  const int w = W(), steps = FActiveSteps;
  if (y < 1 || y > H() || x < 1 || x > w || steps <= 0) return false;
  // The step whose stair runs over column x: i W / S <= x - 1 < (i + 1) W / S.
  const int64_t column = x - 1;
  int64_t i = column * steps / w;
  while (i + 1 < steps && (i + 1) * w / steps <= column) ++i;
  const auto& table = ColumnArray(kFrequencyTable);
  if (i >= FPointCount || static_cast<std::size_t>(i) >= table.size()) return false;
  frequency = table[static_cast<std::size_t>(i)];
  level = RowToLevel(y);
  return true;
}

void TResponsePlot::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  if (FOnMouseMove) FOnMouseMove(p.x(), p.y());
  TFrequencyPlot::mouseMoveEvent(event);
}
