#include "FrequencyPlot.h"

#include "NSP.h"

#include <algorithm>
#include <cmath>
#include <limits>

int DecibelGridStep(int span) {
  if (span > 80) return 20;
  if (span > 40) return 10;
  if (span > 16) return 5;
  if (span > 8) return 2;
  return 1;
}

TFrequencyPlot::TFrequencyPlot(QWidget* parent) : TAudioDisplay(parent) {}

TFrequencyPlot::~TFrequencyPlot() = default;

void TFrequencyPlot::SetMaxdB(int dB) {
  TAudioDisplay::SetMaxdB(std::clamp(dB, kMaxdBLimitLow, kMaxdBLimitHigh));
  if (MaxdB() - MindB() < kMinimumRange) TAudioDisplay::SetMindB(MaxdB() - kMinimumRange);
  ScaleChanged();
}

void TFrequencyPlot::SetMindB(int dB) {
  TAudioDisplay::SetMindB(std::clamp(dB, kMindBLimitLow, kMindBLimitHigh));
  if (MaxdB() - MindB() < kMinimumRange) TAudioDisplay::SetMaxdB(MindB() + kMinimumRange);
  ScaleChanged();
}

void TFrequencyPlot::ScaleChanged() {
  FAveragingCount = 0;
  update();
  if (FLayoutReady) UpdateScaleLabels();
}

int TFrequencyPlot::LevelToRow(float dB) const {
  const long double row =
      std::nearbyint((static_cast<long double>(dB) - MaxdB()) / (MindB() - MaxdB()) * (H() - 1)) +
      1;
  if (std::isnan(row)) return 0;
  // The saturation of the vector conversion, so both agree on levels far off the scale.
  constexpr long double low = std::numeric_limits<int32_t>::min();
  constexpr long double high = std::numeric_limits<int32_t>::max();
  return static_cast<int>(std::clamp(row, low, high));
}

void TFrequencyPlot::LevelsToRows(const float* levels, float* rows, int count, int start) const {
  if (count <= 0 || start < 0) return;
  nspsbCopy(levels, rows, start + count);
  float* part = rows + start;
  nspsbSub1(static_cast<float>(MaxdB()), part, count);
  nspsbMpy1(static_cast<float>(static_cast<long double>(H() - 1) / (MindB() - MaxdB())), part,
            count);
  nspsbAdd1(1.0f, part, count);
  nspsbFloatToInt(part, part, count, 32, NSP_Round | NSP_Clip);
}

float TFrequencyPlot::RowToLevel(int row) const {
  // A plot one row high would divide by zero; its only row is the top of the scale.
  if (H() <= 1) return static_cast<float>(MaxdB());
  return static_cast<float>(static_cast<long double>(row - 1) * (MindB() - MaxdB()) / (H() - 1) +
                            MaxdB());
}

bool TFrequencyPlot::Readout(int x, int y, float& frequency, float& level) const {
  if (y < 1 || y > H() || x - 1 < 0 || x - 1 > LastColumn()) return false;
  const auto table = ColumnArray(kFrequencyTable);
  // A table index the derived display set beyond the table it has is not read.
  if (static_cast<std::size_t>(x - 1) >= table.size()) return false;
  frequency = table[static_cast<std::size_t>(x - 1)];
  level = RowToLevel(y);
  return true;
}
