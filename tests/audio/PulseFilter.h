// A one-pole filter in the test audio server's path, and the server's gains as outside tools
// measure them: scripts/pulse-server.sh's pulse_filter and pulse_gains, on the server that
// PULSE_SERVER names (a null sink whose monitor is the default source).
//
// GUI thread of a test. Frequencies Hz, gains dB relative to the level played.
#pragma once

#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#ifndef QUORVANE_SOURCE_DIR
#error "QUORVANE_SOURCE_DIR names the source tree, for scripts/pulse-server.sh"
#endif

// In place for the object's life (or until Remove): new streams on the default devices go
// through the filter.
class TPulseFilter {
 public:
  struct TGain {
    double hz, left, right;
  };

  ~TPulseFilter() { Remove(); }
  // kind "lpf" or "hpf"; false (with the script's complaint on stderr) when it did not go in.
  bool Insert(const std::string& kind, double hz) {
    inserted_ = Run("pulse_filter " + kind + " " + Number(hz), nullptr);
    return inserted_;
  }
  bool Remove() {
    if (!inserted_) return true;
    inserted_ = !Run("pulse_filter none", nullptr);
    return !inserted_;
  }

  // The default sink's gain at each frequency, through its monitor; empty when the tools
  // failed.
  static std::vector<TGain> Gains(const std::vector<double>& hz) {
    std::string command = "pulse_gains";
    for (double f : hz) command += " " + Number(f);
    std::string text;
    if (!Run(command, &text)) return {};
    std::vector<TGain> gains;
    std::istringstream lines(text);
    TGain g{};
    while (lines >> g.hz >> g.left >> g.right) gains.push_back(g);
    if (gains.size() != hz.size()) return {};
    return gains;
  }

  // Where gains (ascending frequency) first cross level dB, interpolated in log frequency on
  // the mean of both channels; 0 when they do not.
  static double Crossing(const std::vector<TGain>& gains, double level) {
    for (std::size_t i = 1; i < gains.size(); ++i) {
      const double a = (gains[i - 1].left + gains[i - 1].right) / 2, b = (gains[i].left + gains[i].right) / 2;
      if ((a - level) * (b - level) > 0 || a == b) continue;
      return std::exp(std::log(gains[i - 1].hz) + (level - a) / (b - a) * std::log(gains[i].hz / gains[i - 1].hz));
    }
    return 0;
  }

  // The plug-in's own filters (y = a x + b y', b = c - sqrt(c^2 - 1), c = 2 - cos(2 pi fc / fs);
  // the high-pass is x - y) evaluated at hz: what the measurement must find.
  static double ExpectedGaindB(const std::string& kind, double cutoff, double hz) {
    const double c = 2 - std::cos(2 * std::numbers::pi * cutoff / 44100);
    const double b = c - std::sqrt(c * c - 1), w = 2 * std::numbers::pi * hz / 44100;
    const double denominator = 1 - 2 * b * std::cos(w) + b * b;
    const double power = kind == "lpf" ? (1 - b) * (1 - b) / denominator : b * b * (2 - 2 * std::cos(w)) / denominator;
    return 10 * std::log10(power);
  }

 private:
  static std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
  }
  // Runs a function of scripts/pulse-server.sh; its output into *out when given.
  static bool Run(const std::string& command, std::string* out) {
    const std::string line = "bash -c 'source \"" QUORVANE_SOURCE_DIR "/scripts/pulse-server.sh\" && " + command + "'";
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe) return false;
    char buffer[256];
    std::string text;
    while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
    const int status = pclose(pipe);
    if (out) *out = text;
    return status == 0;
  }

  bool inserted_ = false;
};
