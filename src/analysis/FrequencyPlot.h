// Base of the displays that draw level against frequency: a decibel scale with limits, the
// conversions between levels and pixel rows, and the readout under a point of the plot.
// GUI thread only. Levels are dB, rows and columns are pixels of the control (the plot area runs
// from 1 to H and from 1 to W), frequencies Hz.
#pragma once

#include "Displays.h"

#include <cstdint>

// dB between grid lines for a scale spanning span dB: 1, 2, 5, 10 or 20.
int DecibelGridStep(int span);

class TFrequencyPlot : public TAudioDisplay {
  Q_OBJECT

public:
  static constexpr int kMaxdBLimitLow = -110, kMaxdBLimitHigh = 20;
  static constexpr int kMindBLimitLow = -120, kMindBLimitHigh = -10;
  static constexpr int kMinimumRange = 10;  // dB between MindB and MaxdB

  explicit TFrequencyPlot(QWidget* parent = nullptr);
  ~TFrequencyPlot() override;

  // Both clamp into their limits and keep MaxdB - MindB >= 10 by moving the other limit; both
  // restart the averaging, repaint, and lay the display out again once it has been laid out.
  void SetMaxdB(int dB) override;
  void SetMindB(int dB) override;

  // Row 1 for MaxdB, row H for MindB, rounded half to even; levels outside the range give rows
  // outside 1 ... H (limited to the int32 range; NaN gives 0) for the caller to clip.
  int LevelToRow(float dB) const;
  // The same for levels[start ... start + count - 1] in single precision: levels[0 ... start +
  // count - 1] are copied to rows, then rows[start ...] are turned in place into int32 rows
  // (read them with std::bit_cast<int32_t>), rounded half to even and saturated. The first start
  // elements stay the copied levels. levels may be rows.
  void LevelsToRows(const float* levels, float* rows, int count, int start) const;
  // The level at the top edge of row r; MaxdB on a plot of one row.
  float RowToLevel(int row) const;

  // Frequency and level under the plot point (x, y), false outside the plot or past the last
  // column of the frequency table.
  virtual bool Readout(int x, int y, float& frequency, float& level) const;

  // Set by a derived display once it has laid itself out (created its scale labels).
  bool LayoutReady() const { return FLayoutReady; }

protected:
  // The per-column frequency table, Hz, filled by the derived display; LastColumn() is the
  // highest valid index.
  static constexpr int kFrequencyTable = kColumnArrays - 1;

  bool FLayoutReady = false;

private:
  void ScaleChanged();
};
