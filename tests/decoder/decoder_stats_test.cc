// SPDX-License-Identifier: Apache-2.0
// The decoder's counts and each frame's quality, for streams whose content
// is known down to the wrong bit.
#include "decoder/decoder_stats.h"

#include <gtest/gtest.h>

#include "decoder/frame_checker.h"
#include "tests/decoder/frame_signal.h"
#include "tools/gen/channel.h"

namespace morvix::test {
namespace {

struct Seen {
  Bytes frame;
  FrameQuality quality;
};

class DecoderStatsTest : public FrameSignalTest {
 protected:
  // Appends one frame's line signal after `gap` idle samples; returns the
  // index of its sync word's first sample.
  int64_t add(gen::SampleWriter& w, const Bytes& frame, int64_t gap,
              const gen::LineOptions& options = {}) {
    w.add_idle(gap);
    const int64_t at = w.sample_count();
    w.add_line_bits(gen::frame_line_bits(frame, options, rng_));
    return at;
  }

  std::vector<Seen> run(const Bytes& stream) {
    std::vector<Seen> seen;
    feed_stream(d_, stream, [&](Decoder& d) {
      while (next_frame(d))
        seen.push_back({Bytes(d.block.frame, d.block.frame + d.checker.framelen), d.quality});
    });
    return seen;
  }
};

TEST_F(DecoderStatsTest, CountsFramesOnTheLineAndReportsEachFramesQuality) {
  const int sps = 10;
  setup(sps);
  const Bytes clean = gen::build_frame(1, payload_of(100, 1));  // 2 + 13 blocks
  const Bytes damaged = gen::build_frame(2, payload_of(40, 2));
  Bytes broken = gen::build_frame(3, payload_of(30, 3));
  broken[10] ^= 0x40;  // after the frame CRC was made

  gen::LineOptions planted;
  planted.wrong_sync_bits = {3, 17};
  planted.wrong_symbols = {{{5, 7}}, {{2, 1}, {9, 30}}};  // 1 symbol in block 0, 2 in block 1

  gen::SampleWriter w(sps);
  const int64_t at_clean = add(w, clean, 23);
  const int64_t at_damaged = add(w, damaged, 500, planted);
  add(w, broken, 500);
  const int64_t at_last = add(w, clean, 777);
  w.add_idle(sps * 4000);
  const Bytes stream = w.take();
  const auto seen = run(stream);

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].frame, clean);
  EXPECT_EQ(seen[0].quality.sample, at_clean);
  EXPECT_EQ(seen[0].quality.phase, at_clean % sps);
  EXPECT_EQ(seen[0].quality.sync_wrong_bits, 0);
  EXPECT_EQ(seen[0].quality.corrected_total, 0);
  EXPECT_EQ(seen[0].quality.blocks, 15);

  EXPECT_EQ(seen[1].frame, damaged);
  EXPECT_EQ(seen[1].quality.sample, at_damaged);
  EXPECT_EQ(seen[1].quality.sync_wrong_bits, 2);
  EXPECT_EQ(seen[1].quality.corrected[0], 1);
  EXPECT_EQ(seen[1].quality.corrected[1], 2);
  EXPECT_EQ(seen[1].quality.corrected_total, 3);

  EXPECT_EQ(seen[2].quality.sample, at_last);

  // The broken frame is read again at each following phase of its sync
  // word; it counts once all the same.
  const DecoderStats& s = d_.stats;
  EXPECT_EQ(s.sync_words, 4);
  EXPECT_EQ(s.sync_wrong_bits[0], 3);
  EXPECT_EQ(s.sync_wrong_bits[2], 1);
  EXPECT_EQ(s.frames_decoded, 3);
  EXPECT_EQ(s.rejected_frame_crc, 1);
  EXPECT_EQ(s.rejected_header + s.rejected_uncorrectable, 0);
  EXPECT_EQ(s.symbols_corrected, 3);
  const int64_t blocks = 2 * 15 + gen::frame_blocks(damaged);
  EXPECT_EQ(s.blocks_by_corrections[0], blocks - 2);
  EXPECT_EQ(s.blocks_by_corrections[1], 1);
  EXPECT_EQ(s.blocks_by_corrections[2], 1);
  EXPECT_EQ(input_samples(d_.ring), static_cast<int64_t>(stream.size()) * 8);
}

// Frames through a noisy channel: the earliest phase that matches a sync
// word is often on the edge of a line bit, where the frame reads badly.
Bytes noisy_stream(int sps, int frames, bool broken, std::mt19937& rng) {
  gen::SampleWriter w(sps);
  gen::Channel channel(sps, 0.3, 0.0, rng);
  for (int i = 0; i < frames; ++i) {
    Bytes frame = gen::build_frame(static_cast<uint8_t>(i), payload_of(60 + i, i));
    if (broken) frame[kHeaderBytes + 7] ^= 0x10;  // after the frame CRC was made
    channel.silence(3000, w);
    channel.transmit(gen::frame_line_bits(frame, {}, rng), w);
  }
  channel.silence(sps * 4000, w);
  return w.take();
}

TEST_F(DecoderStatsTest, AFrameBrokenInItsPayloadCountsAsAFrameCrcFailureInEitherReading) {
  for (int soft : {0, 1}) {
    setup(10);
    d_.improved_reading = soft;
    std::mt19937 rng(7);
    EXPECT_TRUE(run(noisy_stream(10, 40, true, rng)).empty());
    const DecoderStats& s = d_.stats;
    EXPECT_EQ(s.sync_words, 40) << soft;
    // Before, the first reading's failure counted: header and uncorrectable
    // for most of them.
    EXPECT_EQ(s.rejected_frame_crc, 40) << soft;
    EXPECT_EQ(s.rejected_header + s.rejected_uncorrectable, 0) << soft;
  }
}

TEST_F(DecoderStatsTest, DecodedFramesCountTheWrongBitsOfTheReadingThatDecodedThem) {
  setup(10);
  std::mt19937 rng(11);
  const auto seen = run(noisy_stream(10, 40, false, rng));
  ASSERT_EQ(seen.size(), 40u);
  const DecoderStats& s = d_.stats;
  int64_t decoded = 0;
  int64_t decoded_wrong = 0;
  int64_t earliest_wrong = 0;
  for (int k = 0; k <= kMaxSyncWrongBits; ++k) {
    decoded += s.decoded_sync_wrong_bits[k];
    decoded_wrong += k * s.decoded_sync_wrong_bits[k];
    earliest_wrong += k * s.sync_wrong_bits[k];
  }
  EXPECT_EQ(decoded, 40);
  int64_t from_frames = 0;
  for (const Seen& f : seen) from_frames += f.quality.sync_wrong_bits;
  EXPECT_EQ(decoded_wrong, from_frames);
  // The earliest phase is on the edge of a line bit; the decoding one is not.
  EXPECT_LT(decoded_wrong * 2, earliest_wrong);
}

TEST(RejectionStage, OrdersTheStagesAReadingCanFailAt) {
  EXPECT_LT(rejection_stage(Rejection::kUncorrectable, 0), rejection_stage(Rejection::kHeader, 1));
  EXPECT_LT(rejection_stage(Rejection::kHeader, 1), rejection_stage(Rejection::kUncorrectable, 1));
  EXPECT_LT(rejection_stage(Rejection::kUncorrectable, 1),
            rejection_stage(Rejection::kUncorrectable, 2));
  EXPECT_LT(rejection_stage(Rejection::kUncorrectable, kMaxFrameBlocks - 1),
            rejection_stage(Rejection::kFrameCrc, 2));
}

}  // namespace
}  // namespace morvix::test
