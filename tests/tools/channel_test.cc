// SPDX-License-Identifier: Apache-2.0
// The channel model: its timing, its clock offset and how strong its noise is.
#include "tools/gen/channel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace morvix::gen {
namespace {

// The samples as 0 and 1, one per element.
std::vector<int> unpack(const Bytes& bytes) {
  std::vector<int> samples;
  for (uint8_t b : bytes)
    for (int i = 7; i >= 0; --i) samples.push_back((b >> i) & 1);
  return samples;
}

TEST(ChannelTest, WithoutNoiseEachLineBitComesOutOneSampleLate) {
  std::mt19937 rng(1);
  Channel channel(10, 0.0, 0.0, rng);
  SampleWriter w(10);
  const Bits bits = {1, 0, 1, 1, 0, 0, 1, 0};
  channel.transmit(bits, w);
  channel.idle(6, w);
  const std::vector<int> samples = unpack(w.take());
  // From the idle level the filter crosses zero within the first sample.
  EXPECT_EQ(samples[0], 1);
  for (size_t n = 1; n <= 80; ++n) EXPECT_EQ(samples[n], 1 - bits[(n - 1) / 10]) << n;
}

TEST(ChannelTest, AClockOffsetShortensOrLengthensTheBits) {
  for (const double ppm : {1000.0, -1000.0, 0.0}) {
    std::mt19937 rng(2);
    Channel channel(10, 0.0, ppm, rng);
    SampleWriter w(10);
    channel.transmit(Bits(10000, 1), w);
    EXPECT_NEAR(static_cast<double>(w.sample_count()), 100000 / (1 + ppm * 1e-6), 1.0) << ppm;
  }
}

TEST(ChannelTest, NoiseIsItsStandardDeviationAtTheSlicer) {
  // A steady idle level of -1 under noise of 0.5 reads as a line bit of 1
  // (a sample of 0) when the noise passes +1: two deviations, 2.275 %.
  std::mt19937 rng(3);
  Channel channel(10, 0.5, 0.0, rng);
  SampleWriter w(10);
  channel.idle(2'000'000, w);
  int zeros = 0;
  for (int s : unpack(w.take())) zeros += s == 0;
  EXPECT_NEAR(zeros / 2e6, 0.02275, 0.001);
}

}  // namespace
}  // namespace morvix::gen
