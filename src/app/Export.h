// "Export picture ..." and "Export data ...": the analyser page shown, as a PNG file of its
// display and as a CSV file of the numbers behind it. The tables are plain functions over the
// displays' own arrays (QtCore at most), so tests call them without a window; the window's
// handlers (TMainForm::ExportPicture1Click, ExportData1Click, in Export.cpp) pick the page.
//
// CSV as written: comma-separated, '.' as the decimal point whatever the locale, a header row
// whose every column says its quantity and unit, one row per point, lines ended by CR LF, a
// cell quoted only when it holds a comma or a quote. A value that is not there (a point not
// measured, outside the band) is an empty cell.
//
// Threads: the functions, any; the handlers, the GUI thread. Units as the headers say: Hz, ms,
// s, dB, dBFS (0 dBFS: a full-scale sine), degrees, LSB (16-bit sample values, full scale 32767).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Distortion.h"
#include "SpectrumTables.h"

struct TCsvTable {
  std::vector<std::string> Header;
  std::vector<std::vector<std::string>> Rows;
};

// The shortest text that reads back as the same value, C locale; NaN and infinities give an
// empty cell.
std::string CsvNumber(double v);
std::string CsvNumber(float v);
QByteArray CsvText(const TCsvTable& table);

// A first column and further columns of the same length (shorter ones padded empty).
struct TCsvColumn {
  std::string Header;
  std::vector<double> Values;
};
TCsvTable ColumnsCsv(const std::string& firstHeader, const std::vector<double>& first,
                     const std::vector<TCsvColumn>& columns);

// The scope's frames (interleaved, left first): time from the first frame, ms, and both samples.
TCsvTable ScopeCsv(std::span<const int16_t> frames, double sampleRate);
// The same with the vector scope's axes: right - left across, left + right up.
TCsvTable VectorScopeCsv(std::span<const int16_t> frames, double sampleRate);

// "Left + right", "Left - right", "Left", "Right": the channel a spectrum is of.
const char* ChannelSelectName(TChannelSelect select);
// The FFT spectrum: every bin k = 0 ... n / 2 at k fs / n Hz, its level
// 10 log10((P + kSpectrumFloor) / referencePower) dBFS, as the trace is before columns and
// averaging reduce it.
TCsvTable SpectrumBinsCsv(std::span<const float> power, int n, double sampleRate,
                          float referencePower, TChannelSelect select);
// The nominal name of third-octave band j (0 ... 27) of the spectrum's bars: "31.5" ... "16000",
// or from "63" above fs 49000.
std::string ThirdOctaveBandName(int j, int sampleRate);
// The bars: each band's name, exact centre (31.25 or 62.5 Hz times 2^(j/3)) and level from its
// power ratio as shown (averaged when the display averages).
TCsvTable SpectrumBandsCsv(std::span<const float> ratios, int sampleRate, TChannelSelect select);
// The spectrogram: per block (time re the newest block, s) and per row (its frequency, Hz) the
// level in dBFS from its power ratio; blocks oldest first.
struct TSpectrogramColumn {
  double TimeS = 0;
  std::span<const float> Ratios;  // one per row
};
TCsvTable SpectrogramCsv(const std::vector<TSpectrogramColumn>& blocks,
                         std::span<const float> rowHz, TChannelSelect select);

// The response plot's points: frequency, left (or the loaded reference), right, and right
// minus left where the plot shows that. Columns of what is not there are left out.
struct TResponseData {
  std::span<const float> Hz, Left, Right;
  bool LeftShown = false, ReferenceLoaded = false, RightShown = false, Difference = false;
};
TCsvTable ResponseCsv(const TResponseData& data);

// The distortion page's readings as Quantity,Unit,Left,Right rows: the readouts of the kind
// measured, then every harmonic or intermodulation product. A channel without a reading has
// empty cells.
TCsvTable DistortionCsv(const TDistortionResult& result, const TDistortionSettings& settings);

// Writes bytes through a temporary file; false after one message naming the file and the
// reason.
bool ExportFile(const QString& name, const char* what, const QByteArray& bytes);
