// SPDX-License-Identifier: Apache-2.0
// The frame checker over the whole decoder: generated line signals in,
// frames out.
#include "decoder/frame_checker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <thread>
#include <vector>

#include "decoder/crc.h"
#include "decoder/sample_ring.h"
#include "tests/decoder/frame_signal.h"
#include "tests/support/udp_test_util.h"

namespace morvix::test {
namespace {

// A frame header with any F and B, its header CRC right, payload bytes
// filling the blocks.
Bytes raw_frame(int fill_bits, int blocks, unsigned seed) {
  Bytes f = payload_of((blocks * kBlockDataBits + 7) / 8, seed);
  f[0] = 0x5A;
  f[kFillBitsByte] = static_cast<uint8_t>(fill_bits);
  f[kBlocksByte] = static_cast<uint8_t>(blocks);
  store_crc(f.data(), kHeaderCrcCovers, &f[kHeaderCrcCovers]);
  return f;
}

class FrameCheckerTest : public FrameSignalTest {
 protected:
  // Sync words found while decoding stream (searching became reading the
  // header block), one get_data_frame step at a time; the frames go to
  // frames.
  int count_syncs(const Bytes& stream, std::vector<Bytes>& frames) {
    int syncs = 0;
    feed_stream(d_, stream, [&](Decoder& d) {
      do {
        const DfState before = d.checker.df_state;
        if (get_data_frame(d))
          frames.emplace_back(d.block.frame, d.block.frame + d.checker.framelen);
        if (before == DfState::kSearching && d.checker.df_state == DfState::kHeaderBlock) ++syncs;
      } while (!d.ring.need_input);
    });
    return syncs;
  }
};

TEST_F(FrameCheckerTest, DecodesFramesAtEverySampleRateAndOffset) {
  const Bytes frame = gen::build_frame(0x11, payload_of(40, 1));
  for (int sps : {1, 3, 8, 10, 16}) {
    for (int lead = 1; lead <= 8 + sps; ++lead) {
      setup(sps);
      const auto frames = decode(signal({frame}, sps, lead));
      ASSERT_EQ(frames.size(), 1u) << "sps " << sps << " lead " << lead;
      EXPECT_EQ(frames[0], frame);
    }
  }
}

TEST_F(FrameCheckerTest, DecodesTheShortestAndLongestFramesBackToBack) {
  const Bytes shortest = gen::build_frame(1, payload_of(1, 2));
  const Bytes longest = gen::build_frame(2, payload_of(300, 3));
  ASSERT_EQ(shortest.size(), 8u);
  ASSERT_EQ(longest.size(), 307u);
  setup(10);
  gen::SampleWriter w(10);
  w.add_idle(77);
  for (const Bytes& f : {longest, shortest, longest})
    w.add_line_bits(gen::frame_line_bits(f, {}, rng_));  // no gap at all
  w.add_idle(10 * 4000);
  const auto frames = decode(w.take());
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], longest);
  EXPECT_EQ(frames[1], shortest);
  EXPECT_EQ(frames[2], longest);
}

TEST_F(FrameCheckerTest, RefusesImpossibleHeaders) {
  struct Case {
    int fill_bits, blocks;
  };
  // F = 59 with B = 2 leaves no payload; the others are refused at the header.
  for (const Case c : {Case{59, 2}, Case{60, 2}, Case{0, 1}, Case{0, 42}}) {
    setup(10);
    const auto frames = decode(signal({raw_frame(c.fill_bits, c.blocks, 7)}, 10, 11));
    EXPECT_TRUE(frames.empty()) << c.fill_bits << " " << c.blocks;
  }
}

// Its other phases read the same samples, so they would fail alike: the
// search passes over them instead of reading the frame ten times.
TEST_F(FrameCheckerTest, AFrameWithAWrongFrameCrcIsReadOnceWhenEveryPhaseReadsAlike) {
  Bytes frame = gen::build_frame(6, payload_of(50, 8));
  frame[20] ^= 0x01;  // after the CRC was computed
  setup(10);
  std::vector<Bytes> frames;
  EXPECT_EQ(count_syncs(signal({frame}, 10, 4), frames), 1);
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(d_.stats.rejected_frame_crc, 1);
}

TEST_F(FrameCheckerTest, AFrameFailingAtItsFirstPhaseIsReportedOnce) {
  // A wrong first sample of every line bit spoils only the first phase.
  const Bytes frame = gen::build_frame(7, payload_of(30, 9));
  gen::Bits bits = gen::frame_line_bits(frame, {}, rng_);
  gen::SampleWriter w(10);
  w.add_idle(6);
  for (size_t i = 0; i < bits.size(); ++i) {
    const int sample = 1 - bits[i];
    w.add_samples(1, i >= 40 && i % 3 == 0 ? 1 - sample : sample);
    w.add_samples(9, sample);
  }
  w.add_idle(10 * 4000);
  setup(10, 0);
  std::vector<Bytes> frames;
  EXPECT_EQ(count_syncs(w.take(), frames), 2);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], frame);
}

TEST_F(FrameCheckerTest, DecodesAFrameAcrossTheRingEnd) {
  const Bytes frame = gen::build_frame(8, payload_of(200, 10));
  setup(10);
  d_.ring.bwrp = d_.ring.brdp = kRingBytes - 1000;
  const auto frames = decode(signal({frame}, 10, 3));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], frame);
}

TEST_F(FrameCheckerTest, FindsNothingInNoiseOrAnInvertedSignal) {
  setup(10);
  gen::SampleWriter w(10);
  w.add_noise(400000, rng_);
  EXPECT_TRUE(decode(w.take()).empty());

  const Bytes inverted_frame = gen::build_frame(9, payload_of(20, 11));
  Bytes inverted = signal({inverted_frame}, 10, 5);
  for (auto& b : inverted) b = static_cast<uint8_t>(~b);
  setup(10);
  EXPECT_TRUE(decode(inverted).empty());
}

TEST(FrameInput, DecodesAFrameWhoseSamplesPauseMidFrame) {
  Decoder d;
  decoder_setup(d, 10, 1, link_codec());
  const int port = free_udp_port();
  ASSERT_EQ(server_open_dstream(d.ring, port), 1);
  const Bytes frame = gen::build_frame(0x42, payload_of(250, 14));
  std::mt19937 rng(2);
  gen::SampleWriter w(10);
  w.add_idle(21);
  w.add_line_bits(gen::frame_line_bits(frame, {}, rng));
  w.add_idle(8 * kRingBytes);  // keeps the ring filling after the frame
  const Bytes s = w.take();
  const size_t half = s.size() / 2;

  std::thread source([&] {
    UdpPeer peer;
    for (size_t at = 0; at < s.size(); at += 1000) {
      if (at >= half && at < half + 1000) sleep(2);
      peer.send_to(port, s.data() + at, std::min<size_t>(1000, s.size() - at));
      usleep(1000);
    }
  });
  int got = 0;
  // As the main loop does: decode what has arrived, then wait for the input.
  for (int wait = 0; wait < 20 && !got; ++wait) {
    got = next_frame(d);
    if (!got) test::readable(d.ring.dfd, 1000);
  }
  source.join();
  close(d.ring.dfd);
  ASSERT_EQ(got, 1);
  EXPECT_EQ(Bytes(d.block.frame, d.block.frame + d.checker.framelen), frame);
}

}  // namespace
}  // namespace morvix::test
