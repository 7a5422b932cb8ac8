// SPDX-License-Identifier: Apache-2.0
// The retry skip's promise: passing over the retries that would read what a
// rejected reading read changes nothing. Noisy channel streams, where
// frames are rejected and retried all the time, decode to the very same
// frames and counts with and without it, by either reading.
#include <gtest/gtest.h>

#include <random>

#include "tests/decoder/frame_signal.h"
#include "tools/gen/channel.h"

namespace morvix::test {
namespace {

class RetrySkipTest : public FrameSignalTest {};

TEST_F(RetrySkipTest, NoisyStreamsDecodeAlikeWithAndWithoutIt) {
  for (int sps : {3, 8}) {
    for (int improved = 0; improved < 2; ++improved) {
      std::mt19937 rng(static_cast<unsigned>(sps));
      gen::Channel channel(sps, 0.5, 0, rng);
      gen::SampleWriter w(sps);
      for (int i = 0; i < 60; ++i) {
        channel.silence(300 * sps, w);
        const Bytes frame =
            gen::build_frame(static_cast<uint8_t>(i), payload_of(30, static_cast<unsigned>(i)));
        channel.transmit(gen::frame_line_bits(frame, {}, rng), w);
      }
      w.add_idle(sps * 4000);
      const Bytes stream = w.take();
      std::vector<Bytes> frames[2];
      DecoderStats stats[2];
      for (int skip = 0; skip < 2; ++skip) {
        setup(sps);
        d_.improved_reading = improved;
        d_.checker.skip_retries = skip;
        frames[skip] = decode(stream);
        stats[skip] = d_.stats;
      }
      SCOPED_TRACE(::testing::Message() << sps << " samples per bit, -a " << improved);
      // Noisy enough that the literal reading rejects many frames, and so
      // retries them.
      EXPECT_GT(frames[0].size(), 10u);
      EXPECT_LT(frames[0].size(), improved ? 61u : 50u);
      EXPECT_TRUE(frames[1] == frames[0])
          << frames[1].size() << " frames, not " << frames[0].size();
      EXPECT_EQ(stats[1].sync_words, stats[0].sync_words);
      EXPECT_EQ(stats[1].rejected_header, stats[0].rejected_header);
      EXPECT_EQ(stats[1].rejected_frame_crc, stats[0].rejected_frame_crc);
      EXPECT_EQ(stats[1].rejected_uncorrectable, stats[0].rejected_uncorrectable);
    }
  }
}

}  // namespace
}  // namespace morvix::test
