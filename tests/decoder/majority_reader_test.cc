// SPDX-License-Identifier: Apache-2.0
// The improved reading's line bits: majority decisions, the eye's centre and
// the bit clock, on hand-made and modelled samples.
#include "decoder/majority_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"
#include "fec/link_codec.h"
#include "tests/decoder/frame_signal.h"
#include "tools/channel.h"

namespace morvix::test {
namespace {

// A decoder at 10 samples per bit whose ring holds samples from its search
// position on.
void load(Decoder& d, const Bytes& samples) {
  decoder_setup(d, 10, 1, link_codec());
  ring_write(d, samples.data(), static_cast<int>(samples.size()));
}

TEST(MajorityReader, DecidesEachBitByTheSevenSamplesAroundItsCentre) {
  // Line bits 1, 0, 1, 0 (samples 0, 1, 0, 1), with samples turned over:
  // three of the seven central ones, three outside them, the two at the
  // window's edges, and four of the seven, which outvote the rest.
  const int line_bits[4] = {1, 0, 1, 0};
  const std::vector<std::vector<int>> turned = {{3, 5, 7}, {0, 1, 9}, {2, 8}, {2, 4, 6, 8}};
  gen::SampleWriter w(10);
  w.add_idle(10);  // a line bit of 0 before them
  for (int b = 0; b < 4; ++b) {
    for (int s = 0; s < 10; ++s) {
      const bool flip = std::find(turned[b].begin(), turned[b].end(), s) != turned[b].end();
      w.add_sample((1 - line_bits[b]) ^ flip);
    }
  }
  w.add_idle(400);
  Decoder d;
  load(d, w.take());
  ASSERT_EQ(d.ar_window, 7);
  d.ar_centre = 15 * kCentreUnit;
  d.ar_last_bit = 0;
  unsigned char bits[4], margins[4];
  read_majority_bits(d, 4, bits, margins);
  EXPECT_EQ(std::vector<int>(bits, bits + 4), (std::vector<int>{1, 0, 1, 1}));
  EXPECT_EQ(std::vector<int>(margins, margins + 4), (std::vector<int>{1, 7, 3, 1}));
  EXPECT_EQ(d.ar_last_bit, 1);
}

TEST(MajorityReader, PlacesTheCentreInTheMiddleOfTheMatchingPhases) {
  // The first two and last two samples of every bit are noise: the sync
  // word matches from the third sample (where the literal reading stays)
  // to the eighth, so the reading belongs half a bit later, on the fifth.
  const Bytes frame = gen::build_frame(1, payload_of(40, 2));
  std::mt19937 rng(3);
  gen::SampleWriter w(10);
  w.add_idle(23);
  for (uint8_t bit : gen::frame_line_bits(frame, {}, rng)) {
    for (int s = 0; s < 10; ++s) w.add_sample(s >= 2 && s < 8 ? 1 - bit : rng() & 1);
  }
  w.add_idle(4000);
  const Bytes stream = w.take();
  Decoder d;
  load(d, stream);
  ASSERT_EQ(get_frame_id(d), 1);
  EXPECT_EQ((7 - d.ring.brdb + d.ring.brdp * 8) % 10,
            5);  // 23 idle samples, then the third of a bit
  EXPECT_EQ(eye_centre(d), 5 * kCentreUnit / 2);
  // The clock, followed over the sync word, keeps to it.
  ASSERT_EQ(place_eye(d), 1);
  EXPECT_NEAR(static_cast<double>(d.ar_centre) / kCentreUnit, 40 * 10 + 2.5, 1.0);

  decoder_setup(d, 10, 1, link_codec());
  d.improved = 1;
  EXPECT_EQ(decode_stream(d, stream), std::vector<Bytes>{frame});
}

TEST(MajorityReader, FollowsABitClockOnePercentFast) {
  // 500 alternating bits drift by 50 samples, five bits, against the
  // sampler; the reading stays on them.
  std::mt19937 rng(4);
  gen::Channel channel(10, 0.0, 10000.0, rng);
  gen::SampleWriter w(10);
  gen::Bits sent(500);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = 1 - i % 2;
  channel.idle(10, w);
  channel.transmit(sent, w);
  w.add_idle(400);
  Decoder d;
  load(d, w.take());
  d.ar_centre = 16 * kCentreUnit;  // the filter delays the first edge by one sample
  d.ar_last_bit = 0;
  unsigned char bits[500], margins[500];
  read_majority_bits(d, 500, bits, margins);
  EXPECT_EQ(gen::Bits(bits, bits + 500), sent);
}

}  // namespace
}  // namespace morvix::test
