// The frame decoder as a whole: generated line signals in, frames out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <thread>
#include <vector>

#include "decoder/block_decoder.h"
#include "decoder/crc.h"
#include "decoder/frame_checker.h"
#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"
#include "fec/link_codec.h"
#include "tests/support/udp_test_util.h"
#include "tools/signal_gen.h"

namespace morvix {
namespace {

using gen::Bytes;

Bytes payload_of(int size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes p(static_cast<size_t>(size));
  for (auto& b : p) b = static_cast<uint8_t>(rng());
  return p;
}

// A frame header with any F and B, its header CRC right, payload bytes
// filling the blocks.
Bytes raw_frame(int fill_bits, int blocks, unsigned seed) {
  Bytes f = payload_of((blocks * 60 + 7) / 8, seed);
  f[0] = 0x5A;
  f[1] = static_cast<uint8_t>(fill_bits);
  f[2] = static_cast<uint8_t>(blocks);
  ComputeCrc(f.data(), 3, f[3], f[4]);
  return f;
}

class FrameTest : public ::testing::Test {
 protected:
  void setup(int sps, int fec = 1) { decoder_setup(d_, sps, fec, fec ? link_codec() : nullptr); }

  // Runs the decoder over the whole stream, feeding the ring as it frees up,
  // and returns every frame reported.
  std::vector<Bytes> decode(const Bytes& stream) {
    std::vector<Bytes> frames;
    size_t sent = 0;
    for (;;) {
      sent += static_cast<size_t>(
          ring_write(d_, stream.data() + sent, static_cast<int>(stream.size() - sent)));
      // Step until three calls in a row change nothing: the ring needs input.
      for (int idle_calls = 0; idle_calls < 3;) {
        const int before[5] = {d_.df_state, d_.brdp, d_.brdb, d_.bbp, d_.bbb};
        if (get_data_frame(d_)) frames.emplace_back(d_.frame, d_.frame + d_.framelen);
        const int after[5] = {d_.df_state, d_.brdp, d_.brdb, d_.bbp, d_.bbb};
        if (before[0] == 0 && after[0] == 1) ++syncs_;
        idle_calls = std::equal(before, before + 5, after) ? idle_calls + 1 : 0;
      }
      if (sent == stream.size()) return frames;
    }
  }

  // Line signal of frames separated by idle, starting `lead` samples in.
  Bytes signal(const std::vector<Bytes>& frames, int sps, int lead,
               const gen::LineOptions& options = {}) {
    gen::SampleWriter w(sps);
    w.add_idle(lead);
    for (const Bytes& f : frames) {
      w.add_line_bits(gen::frame_line_bits(f, options, rng_));
      w.add_idle(sps * 30);
    }
    w.add_idle(sps * 4000);  // lets the search run past the last frame
    return w.take();
  }

  Decoder d_;
  std::mt19937 rng_{4242};
  int syncs_ = 0;
};

TEST_F(FrameTest, DecodesFramesAtEverySampleRateAndOffset) {
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

TEST_F(FrameTest, DecodesTheShortestAndLongestFramesBackToBack) {
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

TEST_F(FrameTest, CorrectsTwoWrongSymbolsInEveryBlock) {
  const Bytes frame = gen::build_frame(3, payload_of(300, 4));
  gen::LineOptions options;
  for (int block = 0; block < 41; ++block)
    options.wrong_symbols.push_back({{block % 16, static_cast<uint8_t>(1 + block % 31)},
                                     {(block + 7) % 16, 0x1F}});
  setup(10);
  const auto frames = decode(signal({frame}, 10, 5, options));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], frame);
}

TEST_F(FrameTest, NeverLooksAtThePassedOverBits) {
  const Bytes frame = gen::build_frame(4, payload_of(100, 5));
  for (int value : {0, 1}) {
    gen::LineOptions options;
    options.random_passed_over = false;
    options.passed_over_value = static_cast<uint8_t>(value);
    setup(10, 0);  // without correction a flipped data bit would show
    const auto frames = decode(signal({frame}, 10, 9, options));
    ASSERT_EQ(frames.size(), 1u) << value;
    EXPECT_EQ(frames[0], frame);
  }
}

TEST_F(FrameTest, WithoutCorrectionAWrongSymbolFailsTheFrame) {
  const Bytes frame = gen::build_frame(5, payload_of(60, 6));
  gen::LineOptions options;
  options.wrong_symbols = {{}, {{3, 0x04}}};  // second block, a data symbol
  setup(10, 0);
  EXPECT_TRUE(decode(signal({frame}, 10, 3, options)).empty());
  setup(10, 1);
  EXPECT_EQ(decode(signal({frame}, 10, 3, options)).size(), 1u);
}

TEST_F(FrameTest, RefusesImpossibleHeaders) {
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

TEST_F(FrameTest, AFrameWithAWrongFrameCrcIsReadOncePerPhase) {
  Bytes frame = gen::build_frame(6, payload_of(50, 8));
  frame[20] ^= 0x01;  // after the CRC was computed
  setup(10);
  EXPECT_TRUE(decode(signal({frame}, 10, 4)).empty());
  EXPECT_EQ(syncs_, 10);
}

TEST_F(FrameTest, AFrameFailingAtItsFirstPhaseIsReportedOnce) {
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
  const auto frames = decode(w.take());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], frame);
  EXPECT_EQ(syncs_, 2);
}

TEST_F(FrameTest, DecodesAFrameAcrossTheRingEnd) {
  const Bytes frame = gen::build_frame(8, payload_of(200, 10));
  setup(10);
  d_.bwrp = d_.brdp = kRingBytes - 1000;
  const auto frames = decode(signal({frame}, 10, 3));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], frame);
}

TEST_F(FrameTest, FindsNothingInNoiseOrAnInvertedSignal) {
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

TEST_F(FrameTest, UncorrectableBlockDropsTheFrame) {
  const Bytes frame = gen::build_frame(10, payload_of(100, 12));
  gen::LineOptions options;
  options.wrong_symbols = {{}, {{0, 1}, {1, 1}, {2, 2}}};  // uncorrectable, as known from the codec
  setup(10);
  EXPECT_TRUE(decode(signal({frame}, 10, 5, options)).empty());
}

TEST(FrameBlock, FirstBlockFillsBytesZeroToSixAndHalfOfSeven) {
  Decoder d;
  decoder_setup(d, 8, 0, nullptr);
  Bytes frame = gen::build_frame(0xAB, payload_of(20, 13));
  std::mt19937 rng(1);
  gen::SampleWriter w(8);
  w.add_idle(8);
  w.add_line_bits(gen::frame_line_bits(frame, {}, rng));
  w.add_idle(8 * 200);
  const Bytes s = w.take();
  ring_write(d, s.data(), static_cast<int>(s.size()));
  ASSERT_EQ(get_frame_id(d), 1);
  ASSERT_EQ(get_block(d), 1);
  EXPECT_EQ(d.framep, 7);
  EXPECT_EQ(d.framebp, 4);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(d.frame[i], frame[static_cast<size_t>(i)]);
  ASSERT_EQ(get_block(d), 1);
  EXPECT_EQ(d.frame[7], frame[7]);
}

TEST(FrameCrc, MatchesThePublishedX25CheckValues) {
  const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  unsigned char low = 0, high = 0;
  ComputeCrc(digits, 9, low, high);
  EXPECT_EQ(low, 0x6E);
  EXPECT_EQ(high, 0x90);
  const unsigned char abc[] = {'a', 'b', 'c'};
  ComputeCrc(abc, 3, low, high);
  EXPECT_EQ(low, 0x25);
  EXPECT_EQ(high, 0x9E);
  EXPECT_EQ(frame_length(0, 2), 15);
  EXPECT_EQ(frame_length(0, 41), 307);
}

TEST(FrameInput, DecodesAFrameWhoseSamplesPauseMidFrame) {
  Decoder d;
  decoder_setup(d, 10, 1, link_codec());
  const int port = testing::free_udp_port();
  ASSERT_EQ(server_open_dstream(d, port), 1);
  const Bytes frame = gen::build_frame(0x42, payload_of(250, 14));
  std::mt19937 rng(2);
  gen::SampleWriter w(10);
  w.add_idle(21);
  w.add_line_bits(gen::frame_line_bits(frame, {}, rng));
  w.add_idle(8 * kRingBytes);  // keeps the ring filling after the frame
  const Bytes s = w.take();
  const size_t half = s.size() / 2;

  std::thread source([&] {
    testing::UdpPeer peer;
    for (size_t at = 0; at < s.size(); at += 1000) {
      if (at >= half && at < half + 1000) sleep(2);
      peer.send_to(port, s.data() + at, std::min<size_t>(1000, s.size() - at));
      usleep(1000);
    }
  });
  int got = 0;
  for (int call = 0; call < 100 && !got; ++call) got = get_data_frame(d);
  source.join();
  close(d.dfd);
  ASSERT_EQ(got, 1);
  EXPECT_EQ(Bytes(d.frame, d.frame + d.framelen), frame);
}

}  // namespace
}  // namespace morvix
