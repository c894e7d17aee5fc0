// The generator's exact sine through the real sound server and back (PortAudio on the test
// server's null sink, whose monitor is the default input): its level and a THD+N at the limit of
// 16-bit samples, which is what an unchanged round trip leaves.
#include "Distortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Messages.h"
#include "PortAudioBackend.h"
#include "CaptureSupport.h"
#include "TestSupport.h"
#include "ToneGenerator.h"

namespace {

constexpr int kFrames = 32768;

TEST(DistortionOnTheServer, ExactSineReadsItsLevelAndTheSixteenBitLimit) {
  if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (scripts/test.sh starts one)";
  std::string why;
  auto backend = CreatePortAudioBackend(&why);
  ASSERT_TRUE(backend) << why;
  SetAudioBackend(backend);
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);

  const double level = -1.0;
  const float amplitude = static_cast<float>(std::pow(10.0, level / 20));
  TAudioToneGenerator out;
  out.SetExactSine(true);
  out.SetLeftFrequency(997.0f);
  out.SetRightFrequency(997.0f);
  out.SetLeftAmplitude(amplitude);
  out.SetRightAmplitude(amplitude);
  // Past the server's round trip (up to about 0.7 s) and the tone's first block.
  const std::vector<int16_t> got = CaptureWhilePlaying(out, kFrames + 44100, 20000);
  const bool done = got.size() >= 2u * (kFrames + 44100);
  SetMessages(previous);
  PumpFor(20);
  SetAudioBackend(nullptr);
  ASSERT_TRUE(done);
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();

  TDistortionAnalyser analyser;
  const TDistortionResult r = analyser.Analyse(got.data() + got.size() - 2 * kFrames, kFrames, TDistortionSettings{});
  // Rounding to 16 bits: 1/12 LSB^2 of white noise, the part of it in 20 Hz ... 20 kHz.
  const double a = amplitude;
  const double limit = 10 * std::log10((1.0 / 12 / (32767.0 * 32767.0)) * (19980.0 / 22050.0) / (a * a / 2));
  for (const TChannelDistortion& ch : r.Channel) {
    ASSERT_TRUE(ch.Valid);
    std::printf("level %.3f dBFS (rms %.3f), %.4f Hz, THD+N %.2f dB (16-bit limit %.2f dB), THD %.1f dB\n",
                ch.LeveldBFS, ch.RmsdBFS, ch.Frequency, ch.ThdndB, limit, ch.ThddB);
    EXPECT_NEAR(ch.LeveldBFS, level, 0.05);
    EXPECT_NEAR(ch.RmsdBFS, level, 0.05);
    EXPECT_NEAR(ch.Frequency, 997.0, 0.001);
    EXPECT_NEAR(ch.ThdndB, limit, 1.0);
  }
}

}  // namespace
