// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/signal_gen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "tests/tools/line_reader.h"

namespace morvix::gen {
namespace {

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes bytes(n);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(rng());
  return bytes;
}

class RsEncodeTest : public ::testing::Test {
 protected:
  std::array<uint8_t, 16> encode_random() {
    uint8_t data[12];
    for (auto& symbol : data) symbol = static_cast<uint8_t>(rng_() % 32);
    std::array<uint8_t, 16> word{};
    rs_encode(data, word.data());
    EXPECT_TRUE(std::equal(data, data + 12, word.begin()));
    return word;
  }
  std::mt19937 rng_{2024};
};

TEST_F(RsEncodeTest, LastDataSymbolOneGivesTheGeneratorAsParity) {
  // x^4 mod g(x) = 10x^3 + 29x^2 + 10x + 1 for g(x) = x^4 + 10x^3 + 29x^2 + 10x + 1.
  const uint8_t data[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  uint8_t word[16];
  rs_encode(data, word);
  EXPECT_EQ((std::vector<uint8_t>(word + 12, word + 16)), (std::vector<uint8_t>{10, 29, 10, 1}));
}

TEST_F(RsEncodeTest, EveryEncodedBlockIsACodeword) {
  for (int i = 0; i < 5000; ++i) {
    auto word = encode_random();
    const auto sent = word;
    ASSERT_EQ(decode_rs_char(test_codec(), word.data(), nullptr, 0), 0) << "block " << i;
    ASSERT_EQ(word, sent);
  }
}

TEST_F(RsEncodeTest, EveryPairOfWrongSymbolsIsCorrected) {
  for (int trial = 0; trial < 8; ++trial) {
    const auto sent = encode_random();
    for (int i = 0; i < 16; ++i) {
      for (int j = i; j < 16; ++j) {
        auto word = sent;
        word[static_cast<size_t>(i)] ^= static_cast<uint8_t>(1 + rng_() % 31);
        word[static_cast<size_t>(j)] ^= static_cast<uint8_t>(1 + rng_() % 31);
        EXPECT_GE(decode_rs_char(test_codec(), word.data(), nullptr, 0), 0) << i << "," << j;
        EXPECT_EQ(word, sent) << "positions " << i << "," << j;
      }
    }
  }
}

TEST(BuildFrameTest, ShortestAndLongestFramesCarryTheirHeader) {
  // The published CRC-16/X.25 check value, low byte first.
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  unsigned char low = 0, high = 0;
  ComputeCrc(check.data(), 9, low, high);
  ASSERT_EQ(low, 0x6E);
  ASSERT_EQ(high, 0x90);

  const Bytes shortest = build_frame(0xA5, {0x42});
  ASSERT_EQ(shortest.size(), 8u);  // L = 8: 64 bits in 2 blocks of 60, 56 left over
  EXPECT_EQ((Bytes(shortest.begin(), shortest.begin() + 3)), (Bytes{0xA5, 56, 2}));
  EXPECT_EQ(shortest[5], 0x42);
  EXPECT_TRUE(crc_ok(shortest, 0, 3));
  EXPECT_TRUE(crc_ok(shortest, 5, 1));

  std::mt19937 rng(7);
  const Bytes payload = random_bytes(rng, 300);
  const Bytes longest = build_frame(0x00, payload);
  ASSERT_EQ(longest.size(), 307u);  // 2456 bits in 41 blocks (2460), 4 left over
  EXPECT_EQ(longest[1], 4);
  EXPECT_EQ(longest[2], 41);
  EXPECT_TRUE(crc_ok(longest, 0, 3));
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), longest.begin() + 5));
  EXPECT_TRUE(crc_ok(longest, 5, 300));
}

TEST(BuildFrameTest, EveryLengthUsesTheFewestBlocksAndReadsBackItsLength) {
  for (size_t n = 1; n <= 300; ++n) {
    const Bytes frame = build_frame(1, Bytes(n, 0x33));
    const int f = frame[1], b = frame[2];
    ASSERT_EQ(frame_length(f, b), static_cast<int>(n) + 7) << n;
    ASSERT_LE(f, 59) << n;
    ASSERT_EQ(frame_blocks(frame), b);
    ASSERT_EQ(frame_fill_bits(frame), f);
  }
  EXPECT_THROW(build_frame(0, {}), std::invalid_argument);
  EXPECT_THROW(build_frame(0, Bytes(301)), std::invalid_argument);
}

TEST(LineBitsTest, SyncWordAtEightSamplesPerBitIsFortyWholeBytes) {
  std::mt19937 rng(1);
  SampleWriter writer(8);
  Bits bits = frame_line_bits(build_frame(0, {1}), {}, rng);
  ASSERT_EQ(bits.size(), 40u + 2 * 85);
  writer.add_line_bits(Bits(bits.begin(), bits.begin() + 40));
  const Bytes samples = writer.take();
  ASSERT_EQ(samples.size(), 40u);
  for (size_t j = 0; j < 40; ++j) EXPECT_EQ(samples[j], kSyncLineBits[j] == '1' ? 0x00 : 0xFF) << j;
}

TEST(LineBitsTest, AZeroBlockShowsTheMasksAndTheChosenPassedOverBits) {
  Bytes frame(15, 0);  // two blocks; the second carries only zero bits
  frame[2] = 2;
  std::mt19937 rng(1);
  for (int passed : {0, 1}) {
    LineOptions options;
    options.random_passed_over = false;
    options.passed_over_value = static_cast<uint8_t>(passed);
    const Bits bits = frame_line_bits(frame, options, rng);
    ASSERT_EQ(bits.size(), 40u + 2 * 85);
    Bits expected;
    for (int k = 0, n = 0; k < 85; ++k) {
      expected.push_back(
          static_cast<uint8_t>((k + 1) % 16 == 0 ? passed : (kMaskBySymbol[n / 5] >> (n % 5)) & 1));
      n += (k + 1) % 16 != 0;
    }
    EXPECT_EQ(Bits(bits.begin() + 125, bits.end()), expected);
  }
}

TEST(LineBitsTest, DamageLandsExactlyWhereAsked) {
  const Bytes frame = build_frame(9, Bytes(20, 0x5C));
  std::mt19937 rng_a(3), rng_b(3);
  LineOptions damage;
  damage.wrong_sync_bits = {0, 7};
  damage.wrong_symbols = {{}, {{15, 0x11}}};
  const Bits clean = frame_line_bits(frame, {}, rng_a);
  const Bits bits = frame_line_bits(frame, damage, rng_b);
  ASSERT_EQ(bits.size(), clean.size());
  std::vector<size_t> differ;
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] != clean[i]) differ.push_back(i);
  }
  // Symbol 15 of block 1 is line bits 80..84 of that block (passed-over 79 skipped);
  // 0x11 flips its first and last bit.
  EXPECT_EQ(differ, (std::vector<size_t>{0, 7, 125 + 80, 125 + 84}));
}

TEST(LineBitsTest, FramesOfEveryLengthReadBackThroughTwoWrongSymbolsPerBlock) {
  std::mt19937 rng(11);
  for (size_t n = 1; n <= 300; n += 7) {
    const Bytes frame = build_frame(static_cast<uint8_t>(n), random_bytes(rng, n));
    LineOptions options;
    for (int b = 0; b < frame[2]; ++b) {
      options.wrong_symbols.push_back(
          {{static_cast<int>(rng() % 8), static_cast<uint8_t>(1 + rng() % 31)},
           {static_cast<int>(8 + rng() % 8), static_cast<uint8_t>(1 + rng() % 31)}});
    }
    SampleWriter writer(10);
    writer.add_noise(static_cast<int64_t>(n), rng);  // every phase within a byte
    writer.add_line_bits(frame_line_bits(frame, options, rng));
    const Received got = receive(writer.take(), 10);
    ASSERT_EQ(got.good.size(), 1u) << n;
    EXPECT_EQ(got.good[0], frame) << n;
  }
}

TEST(SampleWriterTest, PacksFirstSampleIntoBitSevenAndPadsWithOnes) {
  SampleWriter writer(1);
  writer.add_line_bits({1, 0, 1, 1, 0, 0, 0, 0, 1, 1, 1});
  EXPECT_EQ(writer.sample_count(), 11);
  EXPECT_EQ(writer.take(), (Bytes{0x4F, 0x1F}));
  EXPECT_EQ(writer.sample_count(), 0);

  SampleWriter wide(3);  // a line bit of 1 is three samples of 0
  wide.add_idle(2);
  wide.add_line_bits({1, 0, 1});
  wide.add_samples(9, 0);
  EXPECT_EQ(wide.take(), (Bytes{0xC7, 0x00, 0x0F}));
}

TEST(SampleWriterTest, WholeBytePiecesJoinIntoTheSameStream) {
  std::mt19937 rng(5);
  SampleWriter whole(7), pieces(7);
  Bytes joined;
  for (int i = 0; i < 50; ++i) {
    const auto n = static_cast<int64_t>(rng() % 40);
    const Bits bits = {static_cast<uint8_t>(rng() & 1), static_cast<uint8_t>(rng() & 1)};
    for (SampleWriter* w : {&whole, &pieces}) {
      w->add_samples(n, i & 1);
      w->add_line_bits(bits);
    }
    const Bytes piece = pieces.take_whole_bytes();
    EXPECT_LT(pieces.sample_count(), 8);
    joined.insert(joined.end(), piece.begin(), piece.end());
  }
  const Bytes rest = pieces.take();
  joined.insert(joined.end(), rest.begin(), rest.end());
  EXPECT_EQ(joined, whole.take());
}

TEST(SignalTest, FlipRateIsHonoured) {
  std::mt19937 rng(8);
  Bits bits(100000, 0);
  flip_line_bits(bits, 0.0, rng);
  EXPECT_EQ(std::count(bits.begin(), bits.end(), 1), 0);
  flip_line_bits(bits, 0.1, rng);
  const auto ones = std::count(bits.begin(), bits.end(), 1);
  EXPECT_GT(ones, 9400);
  EXPECT_LT(ones, 10600);
  flip_line_bits(bits, 1.0, rng);
  EXPECT_EQ(std::count(bits.begin(), bits.end(), 0), ones);
}

}  // namespace
}  // namespace morvix::gen
