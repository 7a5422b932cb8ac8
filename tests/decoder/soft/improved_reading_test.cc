// SPDX-License-Identifier: Apache-2.0
// The improved reading (-a) against the literal one over whole streams: it
// decodes every frame the literal reading does, never a frame that was not
// sent, and keeps the literal reading's retries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "decoder/frame_checker.h"
#include "tests/decoder/frame_signal.h"
#include "tools/gen/channel.h"

namespace morvix::test {
namespace {

struct Decoded {
  std::vector<bool> sent;  // per frame sent: decoded
  int count = 0;
  int unknown = 0;  // frames decoded that were not sent
};

class ImprovedReadingTest : public FrameSignalTest {
 protected:
  // Frames of the given blocks through the channel, noise between them.
  Bytes channel_stream(int frames, int blocks, double noise, double ppm, unsigned seed,
                       const gen::ChannelOptions& impairments = {}) {
    std::mt19937 rng(seed);
    gen::Channel channel(sps_, noise, ppm, rng, impairments);
    gen::SampleWriter w(sps_);
    sent_.clear();
    for (int i = 0; i < frames; ++i) {
      sent_.push_back(gen::build_frame(static_cast<uint8_t>(i),
                                       payload_of(blocks * 60 / 8 - 8, seed * 1000 + i)));
      channel.silence(1500, w);
      channel.transmit(gen::frame_line_bits(sent_.back(), {}, rng), w);
    }
    channel.silence(1500, w);
    w.add_idle(sps_ * 4000);
    return w.take();
  }

  Decoded decode_with(const Bytes& stream, int improved) {
    setup(sps_);
    d_.improved_reading = improved;
    Decoded r;
    r.sent.assign(sent_.size(), false);
    for (const Bytes& f : decode(stream)) {
      const auto it = std::find(sent_.begin(), sent_.end(), f);
      if (it == sent_.end()) {
        ++r.unknown;
      } else {
        r.sent[static_cast<size_t>(it - sent_.begin())] = true;
        ++r.count;
      }
    }
    return r;
  }

  // Decodes stream both ways: the improved reading must decode every frame
  // the literal one does, more frames than it, and nothing that was not sent.
  void expect_superset(const Bytes& stream, const std::string& what) {
    const Decoded literal = decode_with(stream, 0);
    const Decoded improved = decode_with(stream, 1);
    SCOPED_TRACE(::testing::Message()
                 << what << ": literal " << literal.count << ", -a " << improved.count);
    EXPECT_EQ(literal.unknown + improved.unknown, 0);
    for (size_t i = 0; i < sent_.size(); ++i) EXPECT_TRUE(improved.sent[i] || !literal.sent[i]);
    EXPECT_GT(improved.count, literal.count);
  }

  std::vector<Bytes> sent_;
  int sps_ = 10;  // samples per line bit
};

gen::ChannelOptions with(void (*change)(gen::ChannelOptions&)) {
  gen::ChannelOptions o;
  change(o);
  return o;
}

// Each channel at a noise where the literal reading loses some of the
// frames. Wide bits (20 samples per bit and up) take the
// one-sample-per-tap path.
TEST_F(ImprovedReadingTest, HearsEveryFrameTheLiteralReadingDoesMoreAndNothingElseOnEveryChannel) {
  const struct {
    const char* name;
    int sps, frames, blocks;
    double noise, ppm;
    unsigned seed;
    gen::ChannelOptions impairments;
  } cases[] = {
      {"15 blocks", 10, 30, 15, 0.40, 0, 7, {}},
      {"15 blocks, more noise", 10, 30, 15, 0.46, 0, 7, {}},
      {"15 blocks, 150 ppm", 10, 30, 15, 0.52, 150, 7, {}},
      {"41 blocks, 300 ppm", 10, 30, 41, 0.30, 300, 7, {}},
      {"41 blocks, -250 ppm", 10, 30, 41, 0.35, -250, 7, {}},
      {"5 samples per bit", 5, 20, 15, 0.45, 0, 11, {}},
      {"32 samples per bit", 32, 20, 15, 0.45, 0, 11, {}},
      {"slicer at half the level", 10, 20, 15, 0.24, 0, 5, with([](auto& o) { o.slicer = 0.5; })},
      {"half-bit low-pass", 10, 20, 15, 0.36, 0, 5, with([](auto& o) { o.time_constant = 0.5; })},
      {"second pole", 10, 20, 15, 0.39, 0, 5, with([](auto& o) { o.second_pole = 0.25; })},
      {"clock wander", 10, 20, 15, 0.42, 0, 5, with([](auto& o) { o.wander_ppm = 500; })},
      {"noise bursts", 10, 20, 15, 0.22, 0, 5, with([](auto& o) { o.bursts = 0.05; })},
      {"fading", 10, 20, 15, 0.29, 0, 5, with([](auto& o) { o.fading_db = 6; })},
      {"clock offset", 10, 20, 15, 0.30, 2000, 5, {}},
  };
  for (const auto& c : cases) {
    sps_ = c.sps;
    const Bytes stream = channel_stream(c.frames, c.blocks, c.noise, c.ppm, c.seed, c.impairments);
    expect_superset(stream, c.name);
  }
}

TEST_F(ImprovedReadingTest, LearnsASlicerOffsetAndANarrowerFilterWithinAFewFrames) {
  // Noise at which the default weights read little of either channel, and
  // fitted ones nearly all.
  const struct {
    gen::ChannelOptions impairments;
    double noise;
  } cases[] = {{with([](auto& o) { o.slicer = 0.5; }), 0.45},
               {with([](auto& o) { o.time_constant = 0.5; }), 0.40}};
  for (const auto& c : cases) {
    const Bytes stream = channel_stream(40, 15, c.noise, 0, 9, c.impairments);
    const Decoded improved = decode_with(stream, 1);
    int late = 0;  // of the last 30 (fitted weights decode about 96 %)
    for (size_t i = 10; i < sent_.size(); ++i) late += improved.sent[i];
    EXPECT_GE(late, 27) << "slicer " << c.impairments.slicer;
    // A learned set reads them, and a slicer offset shows in its constant.
    const WeightBank& bank = d_.soft.values.bank;
    const WeightSet& set = bank.sets[bank.active];
    EXPECT_EQ(set.kind, SetKind::kLearned);
    EXPECT_GT(set.learner.steps, 5);
    if (c.impairments.slicer > 0) {
      EXPECT_GT(set.learner.w[kSoftTaps], 2.0);
    }
  }
}

TEST_F(ImprovedReadingTest, NoiseGivesItNoFrameAndNoMoreSyncWordsThanTheLiteralReading) {
  // Band-limited noise: its samples run in short streaks, which the soft
  // reading's candidates (up to 7 wrong of 40) catch more often than white
  // noise would.
  std::mt19937 rng(17);
  gen::Channel channel(10, 1.0, 0, rng);
  gen::SampleWriter w(10);
  channel.silence(10'000'000, w);
  const Bytes noise = w.take();
  int64_t syncs[2] = {}, rejected[2] = {};
  for (int soft = 0; soft < 2; ++soft) {
    setup(10);
    d_.improved_reading = soft;
    EXPECT_TRUE(decode(noise).empty());
    const DecoderStats& st = d_.stats;
    syncs[soft] = st.sync_words;
    rejected[soft] = st.rejected_header + st.rejected_frame_crc + st.rejected_uncorrectable;
  }
  EXPECT_GT(syncs[0], 0);
  EXPECT_EQ(syncs[1], syncs[0]);
  EXPECT_LE(rejected[1], rejected[0]);
}

TEST_F(ImprovedReadingTest, FallsBackToTheLiteralReadingAtTheFirstPhase) {
  // Only the first sample of each bit is right: the soft values read
  // noise, the literal reading at the first phase reads the frame.
  const Bytes frame = gen::build_frame(2, payload_of(60, 3));
  gen::SampleWriter w(10);
  w.add_idle(7);
  for (uint8_t bit : gen::frame_line_bits(frame, {}, rng_)) {
    w.add_sample(1 - bit);
    for (int s = 1; s < 10; ++s) w.add_sample(rng_() & 1);
  }
  w.add_idle(10 * 4000);
  setup(10);
  d_.improved_reading = 1;
  EXPECT_EQ(decode(w.take()), std::vector<Bytes>{frame});
}

TEST_F(ImprovedReadingTest, ARejectedFrameGetsOneImprovedReadingAndTheLiteralRetriesThatReadAnew) {
  Bytes frame = gen::build_frame(6, payload_of(50, 8));
  frame[20] ^= 0x01;  // after the CRC was computed
  // Past the input's first samples, which the improved reading cannot look back from.
  const Bytes stream = signal({frame}, 10, 104);
  setup(10);
  d_.improved_reading = 1;
  int syncs = 0, improved_readings = 0;
  feed_stream(d_, stream, [&](Decoder& d) {
    do {
      const DfState before = d.checker.df_state;
      EXPECT_EQ(get_data_frame(d), 0);
      if (before == DfState::kSearching && d.checker.df_state == DfState::kHeaderBlock) {
        ++syncs;
        improved_readings += reads_softly(d.soft);
      }
    } while (!d.ring.need_input);
  });
  EXPECT_EQ(syncs, 1);  // as without -a: phases that read alike are passed over
  EXPECT_EQ(improved_readings, 1);
}

}  // namespace
}  // namespace morvix::test
