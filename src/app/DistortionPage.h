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
#include <unordered_map>
#include <vector>

// The residual spectrum (dBFS per bin, bins 0 ... N / 2 of an N-frame block) on columns of a log
// frequency axis from fLow to fHigh: each column the largest bin of its span, or the bin
// nearest the span's middle where it holds none.
std::vector<float> ResidualColumns(std::span<const float> spectrum, double sampleRate,
                                   int columns, double fLow, double fHigh);
// The same in two steps, the columns' bins found once for every spectrum of that many bins:
// per column the first bin and the end of its span (first == end: first is the nearest).
struct TColumnBins {
  std::vector<int> First, End;
};
TColumnBins ResidualColumnBins(int bins, double sampleRate, int columns, double fLow,
                               double fHigh);
std::vector<float> ResidualColumns(std::span<const float> spectrum, const TColumnBins& bins);

// Texts drawn as TCanvas::TextOut draws them (the text's box filled with the brush colour, the
// glyphs unsmoothed in the font colour) without laying each out anew: shaping and painting a
// line of text costs more than all else a readout block draws. A text of printable ASCII but
// f (which begins ligatures) is put together from pictures of its letters, each drawn where
// the text's layout puts it: at the sum of the advances and kernings before it, as the font's
// metrics give them for each letter and pair met (letters at the same fraction of a pixel are
// alike). Any other text is drawn whole into a picture kept while it is drawn again. Pixels
// outside the box that the glyphs leave are left as they were. Unclipped canvases only.
class TTextPictures {
 public:
  void TextOut(TCanvas& canvas, int x, int y, const QString& text);
  // Forgets the whole texts not drawn since the last Prune but one.
  void Prune();

 private:
  struct TRun {
    int Row, Column, Length, Pixel;  // Pixel: the first's index in Pixels
  };
  // What a text sets, relative to (x - Left, y - Top).
  struct TPicture {
    std::vector<TRun> Runs;
    std::vector<QRgb> Pixels;
    int Left = 0, Top = 0;
    int Used = 0;
  };
  // Advances and kernings in 64ths of a pixel: the box's (the font's metrics) and the glyphs'
  // (the unsmoothed font's).
  struct TLetter {
    int Box = 0, Pen = 0;
    std::unordered_map<int, TPicture> Glyphs;  // by the 64ths of a pixel it is drawn at
  };
  struct TFace {  // a font in one colour
    int Height = 0, Ascent = 0;
    std::unordered_map<char16_t, TLetter> Letters;
    std::unordered_map<uint32_t, std::pair<int, int>> Kerning;  // (first << 16 | second)
  };
  static TPicture Render(const QFont& font, QRgb ink, const QString& text, bool filled,
                         QRgb fill, qreal shift = 0);
  static void Put(QImage& image, const TPicture& p, int x, int y);

  std::unordered_map<QString, TFace> FFaces;
  std::unordered_map<QString, TPicture> FPictures;
  int FRound = 0;
};

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
  static constexpr int kFrameRoom = 2 * kAnalysisFrames;
  // Room for kFrameRoom frames, interleaved; the last FHeld, oldest first, from frame FStart.
  std::vector<float> FFrames;
  int FHeld = 0, FStart = 0;
  int FAnalyses = 0;
  TDistortionResult FLast, FShown;
  int FLayerKey = -1;
  TTextPictures FTexts;
  TColumnBins FColumnBins;
  int FColumnBinsFor[2] = {-1, -1};  // spectrum's bins and columns FColumnBins was made for
  double FColumnBinsRate = 0;
};
