// The sound-card test: one run, with the output wired to the input, that measures frequency
// response, noise, dynamic range, THD+N, intermodulation, crosstalk, DC offset and round trip.
//
// The run is one continuous signal (TCardTestPlan) played while the input records: a lead-in of
// silence, a synchronised sweep, silence, then tones, each in its own segment. The sweep tells
// where the played signal lies in the capture (its delay is found by deconvolution, to a
// fraction of a frame), so every later segment is cut out of the capture at its played place
// plus that delay; nothing assumes where a sound system puts the signal. The same plan is
// played by the window, by the command line on a device or the simulated card, and written as
// a WAV file to be played and recorded elsewhere (a pair of files).
//
// Figures (per input channel, left and right):
// - Response: the sweep's linear response (TImpulseAnalyser, automatic window), in dB re its
//   level at 1 kHz; the gain at 1 kHz re the played level; the largest and smallest deviation
//   from 40 Hz to 15 kHz; the level at 20 Hz and at 20 kHz. Interpolated linearly between bins.
// - Noise: the silence segment, its mean removed, as the power in the band (20 Hz - 20 kHz) of
//   its spectrum under a 7-term Blackman-Harris window, unweighted and A-weighted; dBFS (a
//   full-scale sine is 0 dBFS). Hum counts: it is part of what the input adds.
// - Dynamic range (AES17): 60 dB less the A-weighted THD+N in dB of a 997 Hz tone played at
//   -60 dBFS.
// - THD+N: a 997 Hz tone played at -1 dBFS, unweighted, 20 Hz - 20 kHz; in dB and %.
// - IMD: SMPTE (60 Hz and 7 kHz, 4:1) and CCIF (19 and 20 kHz, 1:1), each at -1 dBFS peak, as
//   TDistortionAnalyser defines them; in dB and %.
// - Crosstalk at 100 Hz, 1 kHz and 10 kHz: one output plays the three tones, the other is
//   silent; the undriven input's level at each frequency re the driven input's, dB. The Left
//   column is what reaches the left input from the right channel, and the reverse.
// - DC offset: the silence segment's mean, in % of full scale (and 16-bit LSB).
// - Round trip: from the output device taking the sweep's first frame to that frame arriving
//   in the capture (the linear response's peak), by the device clock where the backend keeps
//   one, else by the wall clock of block hand-overs (block hand-over times: tens of ms), else, for a pair of files,
//   by the positions in the files (both taken to start together).
//
// Threads: the plan is immutable and readable from any thread; AnalyseCardTest is for one
// thread at a time (FFTW plans: call it from the thread that makes other analysers).
// Units: frames at 44100 Hz; Hz; dB; samples interleaved stereo, left first, 16-bit.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "SyncSweep.h"

constexpr double kNoFigure = std::numeric_limits<double>::quiet_NaN();

struct TCardTestSettings {
  double SampleRate = 44100.0;
  double LeadInSeconds = 0.5;     // silence before the sweep
  double SweepSeconds = 5.0;      // SweepF1 to SweepF2 at SweepdBFS, then SweepTailSeconds of silence
  double SweepdBFS = -6.0;
  double SweepTailSeconds = 0.5;
  double NoiseSeconds = 2.0;      // silence: noise and DC offset
  double ToneSeconds = 1.5;       // each tone segment
  double AnalyseSeconds = 1.0;    // the middle of a tone segment that is analysed
  double ToneHz = 997.0;
  double HighdBFS = -1.0;         // THD+N and both IMD signals (peak)
  double LowdBFS = -60.0;         // dynamic range
  double CrosstalkdBFS = -10.0;   // each of the three crosstalk tones
  std::array<double, 3> CrosstalkHz{100.0, 1000.0, 10000.0};
  double BandLow = 20.0, BandHigh = 20000.0;
  double MaxRoundTripSeconds = 2.0;  // recorded beyond the plan's end
  // The sweep's range: an octave below and a little above the band, so that the band's ends
  // lie clear of the sweep's own edges (where the window's smoothing meets the band-edge taper).
  double SweepF1() const { return BandLow / 2; }
  double SweepF2() const { return std::min(BandHigh * 1.1, std::floor(SampleRate * 0.4988)); }
};

enum class TSegmentKind {
  LeadIn, Sweep, Silence, LowTone, HighTone, Smpte, Ccif, CrosstalkLeft, CrosstalkRight, Tail
};

struct TCardSegment {
  TSegmentKind Kind;
  int64_t Start = 0;   // played frame of its first frame
  int64_t Frames = 0;
  std::string Name;    // "Frequency response", "Noise and DC offset", ...
};

class TCardTestPlan {
 public:
  // Throws std::invalid_argument for settings that make no run.
  explicit TCardTestPlan(const TCardTestSettings& settings = {});

  const TCardTestSettings& Settings() const { return s_; }
  const TSyncSweep& Sweep() const { return sweep_; }
  const std::vector<TCardSegment>& Segments() const { return segments_; }
  const TCardSegment& Segment(TSegmentKind kind) const;
  // Frames played, and frames to record (the plan and the longest round trip expected).
  int64_t Frames() const { return frames_; }
  int64_t CaptureFrames() const;
  double Seconds() const { return static_cast<double>(frames_) / s_.SampleRate; }
  // The segment a played frame lies in (the last one beyond the end).
  const TCardSegment& SegmentAt(int64_t frame) const;
  // The played value at frame n, channel 0 or 1, on the full scale 1.0, exact in double.
  double Value(int channel, int64_t n) const;
  // count frames from `from` as 16-bit interleaved stereo (round to nearest even of 32767 x
  // Value); 0 beyond the plan. No allocation.
  void FillStereo16(int16_t* out, int64_t from, int count) const;

 private:
  TCardTestSettings s_;
  TSyncSweep sweep_;
  std::vector<TCardSegment> segments_;
  int64_t frames_ = 0;
  int fade_ = 0;
};

// How the played signal and the capture relate in time, as the run saw it.
struct TCardTestTiming {
  // Device clock (frames, shared by the backend's outputs and inputs): when the output took
  // played frame SweepStart (deviceTake), and the clock of capture frame 0. NaN when unknown.
  double SweepTakeClock = kNoFigure;
  double CaptureClock = kNoFigure;
  // Wall clock (s, any origin): when the block holding played frame SweepStart was handed to
  // the output, plus SweepStart's place in it; and when capture blocks arrived (capture frame
  // just past the block, seconds). Empty / NaN when unknown.
  double SweepFillSeconds = kNoFigure;
  std::vector<std::pair<int64_t, double>> Arrivals;
  std::string Method() const;
};

struct TCardFigure {
  std::string Key;      // "thdn_db": stable, for CSV and limits
  std::string Name;     // "THD+N at -1 dBFS"
  std::string Unit;     // "dB"
  double Left = kNoFigure, Right = kNoFigure;
};

struct TCardTestResult {
  bool Valid = false;
  std::string Error;                // why there are no figures
  std::vector<TCardFigure> Figures;
  std::string DelayMethod;          // "device clock", "wall clock" or "file positions"
  // Plot data: the response re 1 kHz at CurveHz (1/24 octave from 20 Hz to 20 kHz) per channel;
  // the noise and the -1 dBFS tone's spectra, dBFS per 1/48-octave point (the largest bin in it).
  std::vector<double> CurveHz;
  std::array<std::vector<double>, 2> CurvedB;
  std::vector<double> SpectrumHz;
  std::array<std::vector<double>, 2> NoiseSpectrum, ToneSpectrum;
  const TCardFigure* Find(const std::string& key) const {
    for (const TCardFigure& f : Figures)
      if (f.Key == key) return &f;
    return nullptr;
  }
};

// Figures of a capture of the plan (frames interleaved stereo, at least the sweep's part).
// correctiondB (dB at a frequency in Hz, e.g. a calibration file's curve) is subtracted from the
// response and its figures; none when empty.
TCardTestResult AnalyseCardTest(const TCardTestPlan& plan, const int16_t* captured, int64_t frames,
                                const TCardTestTiming& timing,
                                const std::function<double(double)>& correctiondB = {});
