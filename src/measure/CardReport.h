// The sound-card test's report: one self-contained HTML page (plots as inline SVG, no script,
// no outside file) and the numbers as CSV; an earlier report's CSV read back so that it can be
// laid beside a new one; and limits for production use.
//
// CSV: comma-separated, '.' decimals, fields with a comma or quote in double quotes. Header
// "Key,Quantity,Unit,Left,Right"; information rows (date, devices ...) carry their text in Left;
// figure rows their numbers (empty: not measured); "curve:<Hz>" rows the response re 1 kHz.
//
// Limits file: one limit per line, "KEY MIN MAX" (KEY a figure's key, optionally ".left" or
// ".right"; MIN or MAX "-" for none), blank lines and lines starting with '#' ignored.
//
// Threads: plain functions, any thread. Units: as the figures state them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "CardTest.h"

struct TCardReport {
  std::string Date;         // "2026-12-09 02:40:00"
  std::string Output, Input;  // device names as the user knows them
  std::string Backend;      // "PortAudio: PulseAudio, normal latency", "Simulated sound card", ...
  std::string Program;      // "Quorvane 0.1.0.1"
  std::string Calibration;  // the calibration file applied, empty for none
  TCardTestSettings Settings;
  TCardTestResult Result;
};

std::string CardReportCsv(const TCardReport& report);
// An earlier report from its CSV; nothing and *error ("line 4: ...") for text that is not one.
std::optional<TCardReport> ParseCardReportCsv(const std::string& text, std::string* error);
// reports[0] is this run; any others are laid beside it (columns and dashed curves).
std::string CardReportHtml(const std::vector<TCardReport>& reports);

// The name stem for a new report in a folder: "sound-card-test-YYYYMMDD-HHMMSS" of the time
// given, with "-2", "-3" ... when a report of that second is there already (none is replaced).
std::string NewCardReportStem(const std::string& folder, const std::string& dateTime);

struct TCardLimit {
  std::string Key;
  int Channel = -1;             // -1 both, 0 left, 1 right
  double Min = -1e300, Max = 1e300;
  int Line = 0;
};
std::optional<std::vector<TCardLimit>> ParseCardLimits(const std::string& text, std::string* error);
// One sentence per figure outside its limit (or missing), empty when all pass.
std::vector<std::string> CheckCardLimits(const TCardTestResult& result, const std::vector<TCardLimit>& limits);
