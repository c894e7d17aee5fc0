// The "Distortion" page's display: readouts of the distortion and noise analysis of both input
// channels, a bar chart of the harmonics and the residual's spectrum. The analysis itself lives
// in src/measure (TDistortionAnalyser, TDistortionAverage); this only feeds and draws it.
//
// GUI thread only. Samples are 16-bit values (full scale 32767) in interleaved stereo frames,
// left first; frequencies Hz, levels dBFS or dBc, coordinates pixels of the control.
#pragma once

#include "Displays.h"
#include "Distortion.h"
#include "DistortionAverage.h"

#include <QStringList>

#include <span>
#include <vector>

// The residual spectrum (dBFS per bin, bins 0 ... N / 2 of an N-frame block) on columns of a log
// frequency axis from fLow to fHigh: each column the largest bin of its span, or the bin
// nearest the span's middle where it holds none.
std::vector<float> ResidualColumns(std::span<const float> spectrum, double sampleRate,
                                   int columns, double fLow, double fHigh);

// Readout texts: a ratio in % with four significant digits at least 0.0001 %.
QString DistortionPercentText(double percent);

class TDistortionDisplay : public TAudioDisplay {
  Q_OBJECT

 public:
  static constexpr int kBlockFrames = 8192;      // the source's blocks, about 0.19 s
  static constexpr int kAnalysisFrames = 32768;  // frames of each channel analysed at once
  // The bar chart's and the spectrum's scales.
  static constexpr int kBarTopdBc = 0, kBarBottomdBc = -140;
  static constexpr int kSpectrumTopdB = 0, kSpectrumBottomdB = -160;
  static constexpr double kSpectrumLowHz = 20, kSpectrumHighHz = 20000;

  explicit TDistortionDisplay(QWidget* parent = nullptr);
  ~TDistortionDisplay() override;

  // SampleRate is always the display's. A change restarts the averaging and analyses the held
  // frames again at once.
  const TDistortionSettings& Settings() const { return FSettings; }
  void SetSettings(const TDistortionSettings& settings);
  // Analyses power-averaged, 1 = none; restarts the averaging.
  int Averaging() const { return FAverage.Count(); }
  void SetAveraging(int count);

  // Frames of each channel held for the next analysis, 0 ... kAnalysisFrames.
  int HeldFrames() const { return FHeld; }
  // Analyses run since the frames were last discarded.
  int Analyses() const { return FAnalyses; }
  // The readings shown: the last analysis averaged as chosen (channels invalid before one).
  const TDistortionResult& Result() const { return FShown; }
  // The lines the readout of channel 0 (left) or 1 (right) shows.
  QStringList ReadoutLines(int channel) const;

  // Where the parts are drawn, for tests: the readouts of a channel, the bar chart's and the
  // spectrum's plot rectangles, and the bar of a harmonic order (2 ... 10) of a channel.
  TRect ReadoutRect(int channel) const;
  TRect BarChartRect() const;
  TRect SpectrumRect() const;
  TRect BarRect(int order, int channel, double dBc) const;

  // Sizes the source's blocks to kBlockFrames and discards the held frames.
  void SetSource(TWaveIn* source) override;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override;
  // Frames as (left, right) float pairs on the 16-bit scale, analysed without rounding.
  void ProcessFloatSamples(const float* frames, int frameCount) override;
  void DrawDisplay(TCanvas& canvas) override;

 protected:
  // The captions, grids and readout labels are a layer, drawn again only when what it shows
  // changes (the kind, the weighting, a channel's validity); a block draws the rest.
  bool HasLayer() const override { return true; }
  void DrawLayer(TCanvas& canvas) override;
  void DrawOverLayer(TCanvas& canvas) override;

 private:
  template <typename T>
  void Take(const T* frames, int frameCount);
  void Analyse();
  void Discard();
  // Draws the readouts' labels (layer) or their values.
  void DrawReadouts(TCanvas& canvas, int channel, bool labels);
  void DrawBars(TCanvas& canvas, bool layer);
  void DrawSpectrum(TCanvas& canvas, bool layer);
  // What the layer shows; a change invalidates it.
  int LayerKey() const;
  void CheckLayer();

  TDistortionSettings FSettings;
  TDistortionAnalyser FAnalyser;
  TDistortionAverage FAverage;
  std::vector<float> FFrames;  // the last FHeld frames, oldest first, interleaved
  int FHeld = 0;
  int FAnalyses = 0;
  TDistortionResult FLast, FShown;
  int FLayerKey = -1;
};
