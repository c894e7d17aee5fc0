// Frequency responses as text: one line per point, "frequency dB [degrees]", as the impulse
// response page saves and loads them and as other measuring programs exchange them.
//
// Reading trusts nothing: any bytes give points or a reason naming the line, in one pass over
// the text, with at most kResponseTextMaxPoints points kept. Numbers are read with
// std::from_chars and written with std::to_chars, so the program's locale never turns a
// decimal point into a comma. The writer leaves out what would not read back (non-finite
// values, frequencies that do not print above the previous one), so its text always parses to
// the points it was given, to the printed precision.
//
// Threads: any (pure functions). Units: Hz, dB, degrees.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// More points than this and a text is refused: a cap on memory, far above any response
// (a 65536-point transform has 32769 bins).
inline constexpr std::size_t kResponseTextMaxPoints = 1000000;

struct TResponsePoint {
  double Hz = 0, dB = 0, Deg = 0;  // Deg is NaN when a file has no phase
};

struct TResponseText {
  std::vector<TResponsePoint> Points;
  // The comment lines in order, without their marker and the one space after it.
  std::vector<std::string> Comments;
  bool HasPhase = false;
};

struct TResponseTextParse {
  bool Ok = false;
  std::string Reason;  // "line 12: ..." when not Ok, else empty
  TResponseText Text;  // empty when not Ok
};

// Lines (LF or CRLF, an optional UTF-8 byte-order mark first) of "frequency dB [degrees]",
// separated by spaces and tabs, or by one comma or semicolon with optional spaces around it
// (one kind in a line); every point line has the same count of numbers, 2 or 3. Comment lines start (after any
// spaces) with '*', '#', ';' or "//"; blank lines are skipped. Frequencies are above 0 and
// strictly ascending; NaN and infinities are refused; at least 2 points.
TResponseTextParse ParseResponseText(std::string_view text);

// "* " and each comment (split at its line ends) first, then one line per point:
// "%.3f %.4f %.3f" (Hz, dB, degrees) with withPhase and every kept point's phase finite, else
// "%.3f %.4f". Points with a non-finite Hz or dB, or whose Hz does not print above the previous
// kept one's (or above 0), are left out.
std::string FormatResponseText(const std::vector<TResponsePoint>& points,
                               const std::vector<std::string>& comments, bool withPhase);

// dB and degrees at hz, linear in log frequency between the two points around it; below the
// first point and above the last, that point's values. The phase is unwrapped along the points
// from the first one first (steps of less than 180 degrees between neighbours), so a file's
// wrapped phase comes back continuous: wrap the result to draw it wrapped. Deg is NaN when the
// text has no phase; Hz is hz. No points give dB 0.
TResponsePoint InterpolateResponse(const TResponseText& text, double hz);
// The same at many frequencies, unwrapping once: for curves on a plot's grid.
std::vector<TResponsePoint> InterpolateResponse(const TResponseText& text,
                                                std::span<const double> hz);
