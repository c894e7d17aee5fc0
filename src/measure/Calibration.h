// Calibration files: the response of a measurement microphone or of the input chain, as its
// maker or a loopback measurement gives it, one "frequency dB [degrees]" line per point.
//
// Sign: the curve is what the chain adds, so it is SUBTRACTED from a reading. A microphone that
// reads 2 dB high at 10 kHz has the line "10000 2.0", and a 10 kHz reading taken through it is
// shown 2 dB lower; a phase of 30 degrees there is taken off the measured phase.
//
// Reading trusts nothing: any bytes give a calibration or one sentence naming the line and what
// is wrong with it. Numbers are read with std::from_chars (a decimal point in any locale).
//
// Threads: any (plain values and pure functions; a TCalibration is immutable once made and may
// be read from several threads). Units: Hz, dB, degrees.
#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// More lines than this and a text is refused: a cap on memory and on reading time.
inline constexpr std::size_t kCalibrationMaxLines = 100000;

struct TCalibrationPoint {
  double Hz = 0, dB = 0;
  double Deg = std::numeric_limits<double>::quiet_NaN();  // NaN: the file has no phase
};

class TCalibration {
 public:
  TCalibration() = default;
  // points: Hz above 0 and strictly ascending, values finite (the parser makes sure); phase in
  // every point or in none.
  explicit TCalibration(std::vector<TCalibrationPoint> points);

  const std::vector<TCalibrationPoint>& Points() const { return FPoints; }
  bool HasPhase() const { return FHasPhase; }
  bool Empty() const { return FPoints.empty(); }

  // dB to subtract at hz: linear in log frequency between the points around it, the end point's
  // value below the first and above the last. 0 without points; NaN for a NaN hz.
  double GaindB(double hz) const;
  // Degrees to subtract at hz, interpolated the same way along the phase unwrapped from the
  // first point (each step between neighbours taken the short way round), so the result may lie
  // outside +-180: wrap after subtracting. NaN without phase.
  double PhaseDeg(double hz) const;

  // The sensitivity line ("Sens Factor =-1.2dB", "Sensitivity -38.5 dBV"), without its comment
  // mark or quotes; empty when the file has none. Its number in dB (a value given in mV/Pa or
  // V/Pa is turned into dB re 1 V/Pa), NaN when the line gives none. Shown, never applied: a
  // reading in dBFS knows nothing of the sound card's gain.
  std::string SensitivityText;
  double SensitivitydB = std::numeric_limits<double>::quiet_NaN();
  // The file the calibration came from, as the user chose it (set by whoever read the file).
  std::string FileName;

 private:
  double Interpolate(double hz, const std::vector<double>& values) const;

  std::vector<TCalibrationPoint> FPoints;
  bool FHasPhase = false;
  std::vector<double> FLogHz, FdB, FUnwrappedDeg;
};

struct TCalibrationParse {
  bool Ok = false;
  std::string Reason;  // "line 7: ..." (or a sentence about the whole text) when not Ok
  TCalibration Calibration;
};

// Lines (LF or CRLF, an optional UTF-8 byte-order mark first) of 2 or 3 numbers, "frequency dB"
// or "frequency dB degrees", separated by spaces, tabs, commas or semicolons (one kind of
// separator in a line, so that a decimal comma is refused, not misread), the same count in
// every line. Comment lines start (after spaces) with '*', '#', ';', "//" or '"'; blank lines
// are skipped. Before the first point, a line holding "Sens" (any case) is the sensitivity line,
// commented, quoted or plain. Frequencies above 0 and strictly increasing; NaN and infinities
// refused; at least one point; at most kCalibrationMaxLines lines.
TCalibrationParse ParseCalibration(std::string_view text);
