// The synchronised sweep played and captured through the real sound server (PortAudio on the
// test server's null sink): with the left input as the reference a wire reads flat, and through
// a one-pole low-pass each input reads the filter as outside tools (sox, pacat, parec) measure it.
#include "ImpulseResponse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Messages.h"
#include "PortAudioBackend.h"
#include "CaptureSupport.h"
#include "TestSupport.h"
#include "WaveCommon.h"
#include "audio/PulseFilter.h"

namespace {

// One run of the sweep through the default devices, captured from before it plays until well
// after its tail: the server's round trip is the analyser's to find. A second of silence goes
// first: a sound server may begin recording a quarter of a second after it begins playing.
std::vector<int16_t> PlayAndCapture(const TSyncSweep& sweep, int captureFrames) {
  TWaveOut out;
  out.SetBufferSamples(8192);
  constexpr int kLeadIn = 44100;
  int64_t played = -kLeadIn;
  out.SetOnNeedData([&](PWaveHdr h) {  // frames before the sweep's first are silent
    const int frames = static_cast<int>(h->dwBufferLength / 4);
    sweep.FillStereo16(reinterpret_cast<int16_t*>(h->lpData), played, frames);
    played += frames;
  });
  std::vector<int16_t> got = CaptureWhilePlaying(out, captureFrames, 40000);
  EXPECT_GE(got.size(), 2u * captureFrames);
  got.resize(std::min<std::size_t>(got.size(), 2u * captureFrames));
  return got;
}

class ImpulseOnTheServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (scripts/test.sh starts one)";
    std::string why;
    auto backend = CreatePortAudioBackend(&why);
    ASSERT_TRUE(backend) << why;
    SetAudioBackend(backend);
    Previous = SetMessages(&Recorder);
  }
  void TearDown() override {
    if (Previous) SetMessages(Previous);
    EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TImpulseResult Measure(bool dual) {
    TSyncSweepSettings s;
    s.Seconds = 2;
    const TSyncSweep sweep(s);
    // The lead-in, and the round trip of a sound server: under a second.
    const int capture = sweep.RunFrames() + 44100 * 3;
    TImpulseAnalyser analyser;
    analyser.Start(sweep, dual, capture);
    const std::vector<int16_t> frames = PlayAndCapture(sweep, capture);
    const TCaptureFind find = analyser.AddCapture(frames.data(), static_cast<int>(frames.size() / 2));
    std::printf("sweep found at frame %.2f (left), %.2f (right) of the capture\n", find.Delay[0], find.Delay[1]);
    EXPECT_TRUE(find.Found[0] && find.Found[1]);
    return analyser.Result();
  }
  TMessageRecorder Recorder;
  TMessageInterface* Previous = nullptr;
};

TEST_F(ImpulseOnTheServer, WireReadsFlatAgainstTheLeftInput) {
  const TImpulseResult r = Measure(true);
  ASSERT_TRUE(r.Dual && r.Channel[0].Valid && r.Channel[1].Valid);
  double worst = 0;
  for (int k = r.Ratio.FirstBin; k <= r.Ratio.LastBin; ++k) {
    const double hz = k * r.Ratio.BinHz;
    if (hz < 30 || hz > 18000) continue;
    if (std::abs(r.Ratio.MagnitudedB[k]) > std::abs(worst)) worst = r.Ratio.MagnitudedB[k];
    EXPECT_NEAR(r.Ratio.MagnitudedB[k], 0.0, 0.05) << hz << " Hz";
  }
  std::printf("right / left: worst %+.4f dB from 30 Hz to 18 kHz; right after left by %.3f frames\n", worst,
              r.Channel[1].Delay);
}

TEST_F(ImpulseOnTheServer, EachInputReadsTheFilterAsOutsideToolsDo) {
  TPulseFilter filter;
  ASSERT_TRUE(filter.Insert("lpf", 2000));
  const std::vector<double> hz = {100, 500, 1000, 2000, 4000, 8000, 15000};
  const std::vector<TPulseFilter::TGain> truth = TPulseFilter::Gains(hz);
  ASSERT_EQ(truth.size(), hz.size()) << "the outside tools failed";
  const TImpulseResult r = Measure(false);
  for (int ch : {0, 1}) {
    const TResponseCurve& c = r.Channel[ch].Response;
    ASSERT_TRUE(r.Channel[ch].Valid);
    for (const TPulseFilter::TGain& g : truth) {
      const int k = static_cast<int>(std::lrint(g.hz / c.BinHz));
      const double want = ch == 0 ? g.left : g.right;
      std::printf("channel %d at %.0f Hz: %.3f dB, outside tools %.3f dB\n", ch, g.hz, c.MagnitudedB[k], want);
      EXPECT_NEAR(c.MagnitudedB[k], want, 0.1) << "channel " << ch << " at " << g.hz << " Hz";
    }
  }
}

}  // namespace
