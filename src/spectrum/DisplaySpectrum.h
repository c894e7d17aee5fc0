// The spectrum display: third-octave bars, a log or linear trace, or a scrolling spectrogram of
// the captured signal. Each block of 2^FFTpower frames is reduced to one channel, windowed,
// transformed and reduced to one power per band, column or row; the values are linear power
// ratios to the reference power (N / 4)^2 and become dB only when drawn.
//
// GUI thread only. Frequencies Hz, levels dB, coordinates pixels of the control (plot area 1 ... W
// by 1 ... H), samples 16-bit interleaved stereo frames, left first.
#pragma once

#include "Calibration.h"
#include "FrequencyPlot.h"
#include "SpectrumTables.h"

#include <QImage>
#include <QRgb>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QLabel;

// Spectrogram colours by level index 0 (lowest) ... 255: a grey ramp, or dark blue through grey
// to pale yellow and white.
std::array<QRgb, 256> SpectrogramPalette(bool monochrome);
// dB between grid lines for a scale spanning span dB: 1, 2, 5, 10 or 20.
int SpectrumGridStep(int span);
// A frequency caption: "12K", "2.5K", "1000".
QString SpectrumFrequencyText(double hz);

class TSpectrumDisplay : public TFrequencyPlot {
  Q_OBJECT

public:
  explicit TSpectrumDisplay(QWidget* parent = nullptr);
  ~TSpectrumDisplay() override;

  TSpectrumDisplayMode Mode() const { return FMode; }
  // Completes the range (FreqMax 0 -> fs / 2, at least 300; FreqMin at least fs / N on a log
  // axis), rebuilds the axis tables, relays the labels once laid out, clears the spectrogram.
  void SetMode(TSpectrumDisplayMode mode);
  TChannelSelect ChannelSelect() const { return FChannelSelect; }
  void SetChannelSelect(TChannelSelect select);
  bool MonochromeSpectrogram() const { return FMonochromeSpectrogram; }
  // Affects only spectrogram columns painted afterwards.
  void SetMonochromeSpectrogram(bool monochrome);
  // Clamped to 0 ... fs / 2; they rebuild the axis but neither relays the labels nor clears the
  // spectrogram, so set the range first and the mode after it.
  int FreqMin() const { return FFreqMin; }
  void SetFreqMin(int hz);
  int FreqMax() const { return FFreqMax; }
  void SetFreqMax(int hz);
  // Attenuates the mains band (45 ... 65 Hz) by 20 dB from the next block on.
  bool HumReject() const { return FHumReject; }
  void SetHumReject(bool value) { FHumReject = value; }
  // 12 ... 15; sizes the source's blocks to one FFT length.
  int FFTpower() const { return FFFTpower; }
  void SetFFTpower(int power);
  int MarkerF1() const { return FMarkerF[0]; }
  void SetMarkerF1(int hz) { SetMarker(0, hz); }
  int MarkerF2() const { return FMarkerF[1]; }
  void SetMarkerF2(int hz) { SetMarker(1, hz); }
  int MarkerF3() const { return FMarkerF[2]; }
  void SetMarkerF3(int hz) { SetMarker(2, hz); }
  int MarkerF4() const { return FMarkerF[3]; }
  void SetMarkerF4(int hz) { SetMarker(3, hz); }

  int N() const { return FN; }
  float ReferencePower() const { return FReferencePower; }
  std::span<const int> ColumnBins() const { return FColumnBins; }
  // Plot column of each marker line on a linear trace; 0 = no line.
  const std::array<int, 4>& MarkerColumns() const { return FMarkerColumns; }
  int SpectrogramBlockNumber() const { return FSpectrogramBlock; }
  int ColumnsPerBlock() const { return FColumnsPerBlock; }
  // Power of bins 0 ... N / 2 of the last analysed block.
  std::span<const float> Power() const { return {FPower.get(), static_cast<std::size_t>(FN / 2 + 1)}; }
  // The band table every spectrum display shares; built by the first third-octave block.
  static const TBandTable& BandTable();

  // The curve taken off every level drawn and read (bars, trace, spectrogram, peak readout); none
  // with nullptr. Each band, column or row takes the curve's value at its own frequency, from a
  // table built again whenever the axis changes.
  const std::shared_ptr<const TCalibration>& Calibration() const { return FCalibration; }
  void SetCalibration(std::shared_ptr<const TCalibration> calibration);
  // The frequency of band, column or row i as the calibration table takes it, Hz: a band's
  // centre, a column's or row's entry of the axis.
  double PositionFrequency(int i) const;
  // The last block's levels as drawn, dB, calibration taken off: one per band, column or row
  // (none before a block).
  std::vector<float> Levels() const;

  const QImage& SpectrogramPicture() const { return FSpectrogram; }
  const std::array<QRgb, 256>& Palette() const { return FPalette; }
  // Fills the spectrogram picture with black if the control is showing.
  void ClearSpectrogram();
  // The spectrogram's blocks as analysed, oldest first, as many as its picture holds: each
  // block's number and its power ratio per row (row 0 lowest, at the frequency table's entry).
  int SpectrogramBlocks() const { return FHistoryCount; }
  int SpectrogramBlock(int i) const;
  std::span<const float> SpectrogramRows(int i) const;

  // Creates the 22 captions on the parent the first time ("<name>_X0" ... "_X10" below the plot,
  // "_Y0" ... "_Y10" left of it) and places those the mode uses.
  void UpdateScaleLabels() override;
  void DrawDisplay(TCanvas& canvas) override;
  // Log and linear traces: the base readout; spectrograms: the frequency of the row under y and
  // MaxdB; bars: never valid.
  bool Readout(int x, int y, float& frequency, float& level) const override;
  // The middle of the stretch of the drawn trace around column x that lies at or above row y,
  // searched at most 17 points each way; only on log and linear traces. The level is the
  // trace's own, also where the peak rises beyond the top of the plot.
  bool FindPeak(int x, int y, float& frequency, float& level);

  // Mouse position in control pixels on every move (with or without a button), and a click
  // (left button released over the control).
  void SetOnMouseMove(std::function<void(int x, int y)> handler) { FOnMouseMove = std::move(handler); }
  void SetOnClick(std::function<void()> handler) { FOnClick = std::move(handler); }

  void SetSource(TWaveIn* source) override;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override;
  // Values are rounded to the nearest integer and saturated to the 16-bit range.
  void ProcessFloatSamples(const float* frames, int frameCount) override;

protected:
  // Rows of the drawn trace by point before they were limited to the plot's surroundings.
  std::vector<int32_t> FTraceRows;

  void BoundsChanged() override;
  // The spectrogram's grid comes and goes with its first block; only the other modes keep the
  // grid in the layer.
  bool HasLayer() const override;
  void DrawLayer(TCanvas& canvas) override;  // the grid
  void DrawOverLayer(TCanvas& canvas) override;  // bars, trace or spectrogram
  void LayerPainted(int64_t ticks) override;      // to the source's PlotTicks
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  struct TFree {
    void operator()(float* p) const;
  };

  void SetMarker(int index, int hz);
  // Both may stop the source while they work and restart it at the end; a restart that fails
  // raises after the tables are complete.
  void RebuildFrequencyTable();
  void RebuildColumnBins();
  void SmoothTrace(float* values);
  void RebuildCalibrationTable();
  // The first count values in dB, less the calibration table, into out.
  void LevelsdB(float* out, int count) const;
  // Turns the first count values into rows, converting from index start on (the trace never
  // converts value 0); the rows are limited so that no line runs far off the plot. The rows
  // before that limit go to unclamped when given.
  const int32_t* ValueRows(int count, int start, std::vector<int32_t>* unclamped = nullptr);
  void DrawValues(TCanvas& canvas);
  void DrawData(TCanvas& canvas);  // DrawValues once there are points, one message if it fails
  void DrawSpectrogram(TCanvas& canvas, const int32_t* rows);
  QLabel* Label(const QString& suffix) const;

  TSpectrumDisplayMode FMode = sdOctave3;
  TChannelSelect FChannelSelect = csSum;
  bool FMonochromeSpectrogram = false;
  int FFreqMin = 0;
  int FFreqMax = 0;
  bool FHumReject = false;
  int FFFTpower = 12;
  int FN = 4096;
  std::array<int, 4> FMarkerF{};
  std::array<int, 4> FMarkerColumns{};
  float FReferencePower = 0;
  std::vector<int> FColumnBins;
  std::shared_ptr<const TCalibration> FCalibration;
  std::vector<float> FCalibrationdB;  // per band, column or row; empty without a calibration
  int FSpectrogramBlock = 0;
  int FColumnsPerBlock = 0;
  int FBuiltW = -1, FBuiltH = -1;  // plot size the axis tables were last built for

  std::unique_ptr<float[], TFree> FWork;   // kSpectrumMaxFft + 2
  std::unique_ptr<float[], TFree> FPower;  // kSpectrumMaxFft
  std::vector<int16_t> FConversion;        // ProcessFloatSamples' frames

  QImage FSpectrogram;
  // A ring of FHistoryBlocks.size() blocks of FHistoryRows values each.
  std::vector<float> FHistory;
  std::vector<int> FHistoryBlocks;
  int FHistoryRows = 0, FHistoryNext = 0, FHistoryCount = 0;
  void KeepSpectrogramBlock(const float* rows, int count);
  std::array<QRgb, 256> FPalette{};
  bool FLabelsCreated = false;
  bool FDrawFailureShown = false;
  bool FPressed = false;
  std::function<void(int, int)> FOnMouseMove;
  std::function<void()> FOnClick;
};
