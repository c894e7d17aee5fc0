// JACK's floats and the streams' 16-bit frames: rounding, clipping and the way back, through the
// four-frame steps and the frames left over after them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "JackDevice.h"

namespace {

TEST(JackConversion, FloatsRoundToNearestEvenAndClip) {
  struct TCase {
    float left, right;
    int16_t l, r;
  };
  const float lsb = 1.0f / 32768;
  const std::vector<TCase> cases = {
      {0.5f * lsb, -0.5f * lsb, 0, 0},   {1.5f * lsb, -1.5f * lsb, 2, -2},  {2.5f * lsb, -2.5f * lsb, 2, -2},
      {1.0f, -1.0f, 32767, -32768},      {1.5f, -3.0f, 32767, -32768},      {32766.5f * lsb, -32767.5f * lsb, 32766, -32768},
      {0.25f, -0.25f, 8192, -8192},      {1e-9f, -1e-9f, 0, 0},             {0.49999f * lsb, 0.50001f * lsb, 0, 1},
  };
  std::vector<float> left, right;
  for (const TCase& c : cases) left.push_back(c.left), right.push_back(c.right);
  std::vector<int16_t> got(2 * cases.size(), 99);
  JackToSamples(left.data(), right.data(), got.data(), static_cast<uint32_t>(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(got[2 * i], cases[i].l) << "frame " << i << " left " << cases[i].left * 32768;
    EXPECT_EQ(got[2 * i + 1], cases[i].r) << "frame " << i << " right " << cases[i].right * 32768;
  }
}

TEST(JackConversion, EverySampleComesBackAsItWent) {
  // Left runs up through all 65536 values, right down; 65536 + 3 frames leaves a tail of three.
  const uint32_t frames = 65536 + 3;
  std::vector<int16_t> from(2 * frames), back(2 * frames);
  for (uint32_t k = 0; k < frames; ++k) {
    from[2 * k] = static_cast<int16_t>(static_cast<uint16_t>(k));
    from[2 * k + 1] = static_cast<int16_t>(static_cast<uint16_t>(~k));
  }
  std::vector<float> left(frames), right(frames);
  JackToFloats(from.data(), left.data(), right.data(), frames);
  for (uint32_t k = 0; k < frames; k += 4099) {
    ASSERT_EQ(left[k], from[2 * k] / 32768.0f);
    ASSERT_EQ(right[k], from[2 * k + 1] / 32768.0f);
  }
  JackToSamples(left.data(), right.data(), back.data(), frames);
  EXPECT_EQ(back, from);
}

}  // namespace
