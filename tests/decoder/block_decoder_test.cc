// SPDX-License-Identifier: Apache-2.0
// The block decoder: symbols, masks, the passed-over bits and correction.
#include "decoder/block_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"
#include "tests/decoder/frame_signal.h"

namespace morvix::test {
namespace {

using BlockDecoderTest = FrameSignalTest;

TEST(BlockDecoder, FirstBlockFillsBytesZeroToSixAndHalfOfSeven) {
  Decoder d;
  decoder_setup(d, 8, 0, nullptr);
  Bytes frame = gen::build_frame(0xAB, payload_of(20, 13));
  std::mt19937 rng(1);
  gen::SampleWriter w(8);
  w.add_idle(8);
  w.add_line_bits(gen::frame_line_bits(frame, {}, rng));
  w.add_idle(8 * 200);
  const Bytes s = w.take();
  ring_write(d.ring, s.data(), static_cast<int>(s.size()));
  ASSERT_EQ(get_frame_id(d.ring, d.sync), 1);
  ASSERT_EQ(get_block(d.ring, d.block, d.quality), 1);
  EXPECT_EQ(d.block.framep, 7);
  EXPECT_EQ(d.block.framebp, 4);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(d.block.frame[i], frame[static_cast<size_t>(i)]);
  ASSERT_EQ(get_block(d.ring, d.block, d.quality), 1);
  EXPECT_EQ(d.block.frame[7], frame[7]);
}

TEST_F(BlockDecoderTest, CorrectsTwoWrongSymbolsInEveryBlock) {
  const Bytes frame = gen::build_frame(3, payload_of(300, 4));
  gen::LineOptions options;
  for (int block = 0; block < 41; ++block)
    options.wrong_symbols.push_back(
        {{block % 16, static_cast<uint8_t>(1 + block % 31)}, {(block + 7) % 16, 0x1F}});
  setup(10);
  const auto frames = decode(signal({frame}, 10, 5, options));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], frame);
}

TEST_F(BlockDecoderTest, NeverLooksAtThePassedOverBits) {
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

TEST_F(BlockDecoderTest, WithoutCorrectionAWrongSymbolFailsTheFrame) {
  const Bytes frame = gen::build_frame(5, payload_of(60, 6));
  gen::LineOptions options;
  options.wrong_symbols = {{}, {{3, 0x04}}};  // second block, a data symbol
  setup(10, 0);
  EXPECT_TRUE(decode(signal({frame}, 10, 3, options)).empty());
  setup(10, 1);
  EXPECT_EQ(decode(signal({frame}, 10, 3, options)).size(), 1u);
}

TEST_F(BlockDecoderTest, UncorrectableBlockDropsTheFrame) {
  const Bytes frame = gen::build_frame(10, payload_of(100, 12));
  gen::LineOptions options;
  options.wrong_symbols = {{}, {{0, 1}, {1, 1}, {2, 2}}};  // uncorrectable, as known from the codec
  setup(10);
  EXPECT_TRUE(decode(signal({frame}, 10, 5, options)).empty());
}

}  // namespace
}  // namespace morvix::test
