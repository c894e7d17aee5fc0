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

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>

namespace {

// Without a clear sweep in the block, the columns start this many frames after the lead-in
// (26 ms at 44100 Hz), past a usual card's latency.
constexpr int kColumnDelay = 1150;
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
  if (value >= 0 && value <= 2) FTraceSmoothing = value;
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
  ApplyLeftReference();
}

// ---------------------------------------------------------------------------------------------
// Measurement

void TResponsePlot::ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) {
  (void)continueFlag;
  FPointCount = 0;
  if (samples && FSweepGenerator)
    FPointCount = FSlowSweep ? MeasureSlow(samples, frameCount) : MeasureFast(samples, frameCount);
  if (FPointCount > 0) FMeasured = true;
  update();
}

// The columns assume the sweep reaches the input 1150 frames after it left (26 ms), but the
// delay is the sound system's: 35 ms on the simulated card, about 47 ms through PulseAudio.
// Counted from a fixed frame, the columns would then read the sweep several per cent off in
// frequency and the top columns would read silence. So the span of the columns is laid where
// the block holds the most energy, centred on the stretch where that maximum is reached. The
// fast sweep repeats with the block, so the block is read around its end. A block without a
// clearly quieter rest (less than a hundredth of the energy per frame) keeps the fixed start.
int TResponsePlot::SweepStart(const int16_t* samples, int n, int span) {
  const int fixed = FSweepGenerator->PreSilence() + kColumnDelay;
  if (span <= 0 || span >= n) return fixed;
  double meanLeft = 0, meanRight = 0;
  for (int f = 0; f < n; ++f) {
    meanLeft += samples[2 * f];
    meanRight += samples[2 * f + 1];
  }
  meanLeft /= n;
  meanRight /= n;
  if (FEnergy.size() != static_cast<std::size_t>(n) + 1) FEnergy.assign(static_cast<std::size_t>(n) + 1, 0.0);
  double* sum = FEnergy.data();
  for (int f = 0; f < n; ++f) {
    const double l = samples[2 * f] - meanLeft, r = samples[2 * f + 1] - meanRight;
    sum[f + 1] = sum[f] + l * l + r * r;
  }
  const double total = sum[n];
  const auto window = [&](int start) {  // energy of frames start ... start + span - 1, around
    const int end = start + span;
    return end <= n ? sum[end] - sum[start] : total - sum[start] + sum[end - n];
  };
  int best = 0;
  double most = -1;
  for (int start = 0; start < n; ++start)
    if (const double e = window(start); e > most) most = e, best = start;
  const double rest = total - most;
  if (!(most > 0) || rest / (n - span) >= 0.01 * most / span) return fixed;
  // The stretch of starts within a millionth of the maximum, around the best one.
  const double level = most * (1 - 1e-8);
  int before = 0, after = 0;
  while (before < n / 2 && window((best - before - 1 + n) % n) >= level) ++before;
  while (after < n / 2 && window((best + after + 1) % n) >= level) ++after;
  return (best + (after - before) / 2 + n) % n;
}

int TResponsePlot::MeasureFast(const int16_t* samples, int frameCount) {
  const TAudioSweepGenerator& generator = *FSweepGenerator;
  if (frameCount < generator.FastSweepSamples()) return 0;
  const int w = W();
  if (w < 1 || FColumns[0].size() < static_cast<std::size_t>(w)) return 0;
  const int pre = generator.PreSilence(), post = generator.PostSilence();
  const int c = (frameCount - pre - post) / w;
  // A plot wider than the sweep has frames has no window for its columns.
  if (c < 1 || static_cast<int64_t>(w) * c >= frameCount) return 0;
  const int n = frameCount;
  const int first = SweepStart(samples, n, w * c);
  const int moved = first - (pre + kColumnDelay);  // frames the sweep lies later than assumed

  // The offsets come from the middle of the silent lead-in. The block is the caller's, so they
  // are taken off each sample as it is read rather than written back.
  int leftOffset = 0, rightOffset = 0;
  if (const int length = pre / 2; length > 0) {
    int64_t left = 0, right = 0;
    for (int j = 0, f = ((pre / 4 + moved) % n + n) % n; j < length; ++j, f = f + 1 == n ? 0 : f + 1) {
      left += samples[2 * f];
      right += samples[2 * f + 1];
    }
    leftOffset = static_cast<int>(left / length);
    rightOffset = static_cast<int>(right / length);
  }

  float* left = FColumns[0].data();
  float* right = FColumns[1].data();
  const bool measureLeft = !FReferenceLoaded;
  int f = first;
  for (int i = 0; i < w; ++i) {
    float sumLeft = kSumStart, sumRight = kSumStart;
    for (int j = 0; j < c; ++j, f = f + 1 == n ? 0 : f + 1) {
      const int16_t* s = samples + 2 * f;
      const int32_t l = LessOffset(s[0], leftOffset), r = LessOffset(s[1], rightOffset);
      sumLeft += static_cast<float>(l * l);
      sumRight += static_cast<float>(r * r);
    }
    if (measureLeft) left[i] = sumLeft / kFullScaleSquare;
    right[i] = sumRight / kFullScaleSquare;
  }
  const float perFrame = 1.0f / static_cast<float>(c);
  if (measureLeft) {
    nspsbMpy1(perFrame, left, w);
    PowerVectorTodB(left, w);
  }
  nspsbMpy1(perFrame, right, w);
  PowerVectorTodB(right, w);

  float* copyLeft = FColumns[2].data();
  float* copyRight = FColumns[3].data();
  nspsbCopy(left, copyLeft, w);
  nspsbCopy(right, copyRight, w);
  Smooth(FTraceSmoothing, copyLeft, left, w);
  Smooth(FTraceSmoothing, copyRight, right, w);

  if (MovingAverage()) {
    float* previousLeft = FColumns[4].data();
    float* previousRight = FColumns[5].data();
    if (FAveragingCount > 0)
      for (int j = 0; j < w; ++j) {
        left[j] = static_cast<float>((2.0 * previousLeft[j] + left[j]) / 3.0);
        right[j] = static_cast<float>((2.0 * previousRight[j] + right[j]) / 3.0);
      }
    nspsbCopy(left, previousLeft, w);
    nspsbCopy(right, previousRight, w);
    ++FAveragingCount;
  }
  return w;
}

int TResponsePlot::MeasureSlow(const int16_t* samples, int frameCount) {
  const int active = FActiveSteps;
  const int cycle = active + FSilentSteps;
  if (active <= 0 || cycle <= 0) return 0;
  // The step comes from the capture's block count; without a capture it is unknown.
  TWaveIn* source = Source();
  if (!source) return 0;
  const int k = source->BufferNumber() % cycle;
  if (k >= active) return active;
  if (k < 0 || FColumns[1].size() <= static_cast<std::size_t>(k)) return 0;
  const int64_t from = frameCount / 6, to = 5 * static_cast<int64_t>(frameCount) / 6;
  const int64_t w = to - from;
  if (w < 1) return 0;
  float sumLeft = kSumStart, sumRight = kSumStart;
  const int16_t* s = samples + 2 * from;
  for (int64_t j = 0; j < w; ++j, s += 2) {
    const int32_t l = s[0], r = s[1];
    sumLeft += static_cast<float>(l * l);
    sumRight += static_cast<float>(r * r);
  }
  if (!FReferenceLoaded) FColumns[0][k] = PowerTodB(static_cast<long double>(sumLeft) / kFullScaleSquare / w);
  FColumns[1][k] = PowerTodB(static_cast<long double>(sumRight) / kFullScaleSquare / w);
  return k + 1;
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
  std::vector<float> levels(count);
  for (std::size_t i = 0; i < count; ++i)
    levels[i] = FLeftIsReference ? FColumns[1][i] - FColumns[0][i] : FColumns[1][i];
  const QByteArray text =
      FormatResponse({FColumns[kFrequencyTable].data(), count}, levels, UserDecimalPoint());

  QSaveFile file(fileName);
  QString failure;
  if (!file.open(QIODevice::WriteOnly)) {
    failure = file.errorString();
  } else {
    errno = 0;
    // Flushed before the commit: a write error that only the flush meets (a full disk) would
    // otherwise let the commit put a truncated file in place of the old one.
    if (file.write(text) != text.size() || !file.flush()) {
      const int code = errno;
      failure = code != 0 ? QString::fromLocal8Bit(std::strerror(code)) : file.errorString();
      file.cancelWriting();
    } else if (!file.commit()) {
      failure = file.errorString();
    }
  }
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
    // Without a reference the left levels are measured ones: nothing to clear.
    if (wasLoaded) std::fill(FColumns[0].begin(), FColumns[0].end(), 0.0f);
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

const float* TResponsePlot::TraceRows(const float* levels, int count) {
  float* rows = FColumns[2].data();
  LevelsToRows(levels, rows, count, 0);
  return rows;
}

int TResponsePlot::BuildTrace(const float* rows, int count, QPoint* points) const {
  // Lines to rows far off the plot would be walked pixel by pixel; two plot heights beyond
  // either edge keep every visible pixel where it was.
  const int32_t low = -2 * H(), high = 3 * H() + 3;
  const auto row = [&](int i) { return std::clamp(std::bit_cast<int32_t>(rows[i]), low, high); };
  if (!FSlowSweep) {
    for (int i = 0; i < count; ++i) points[i] = QPoint(i + 1, row(i));
    return count;
  }
  const int64_t w = W(), steps = FActiveSteps;
  for (int i = 0; i < count; ++i) {
    const int r = row(i);
    points[2 * i] = QPoint(static_cast<int>(i * w / steps) + 1, r);
    points[2 * i + 1] = QPoint(static_cast<int>((i + 1) * w / steps) + 1, r);
  }
  return 2 * count;
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
    if (FMeasured || FReferenceLoaded) {
      const int n = BuildTrace(TraceRows(FColumns[0].data(), count), count, FLeftPoints.data());
      canvas.SetPenColour(QColor(0, 0, 255));
      canvas.Polyline({FLeftPoints.data(), static_cast<std::size_t>(n)});
    }
    if (!FMeasured) return;
    const int n = BuildTrace(TraceRows(FColumns[1].data(), count), count, FRightPoints.data());
    canvas.SetPenColour(QColor(255, 0, 0));
    canvas.Polyline({FRightPoints.data(), static_cast<std::size_t>(n)});
  } else if (FMeasured) {
    float* difference = FColumns[2].data();
    nspsbSub3(FColumns[1].data(), FColumns[0].data(), difference, count);
    nspsbSub1(kDifferenceOffsetdB, difference, count);
    const int n = BuildTrace(TraceRows(difference, count), count, FRightPoints.data());
    canvas.SetPenColour(TraceColour());
    canvas.Polyline({FRightPoints.data(), static_cast<std::size_t>(n)});
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
