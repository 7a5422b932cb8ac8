// SPDX-License-Identifier: Apache-2.0
// Chase-II decoding of one block: its table decoder against the codec, and
// the blocks it exists for.
#include "decoder/soft/chase.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fec/decode_rs.h"
#include "fec/link_codec.h"
#include "tools/gen/signal_gen.h"

namespace morvix::test {
namespace {

class ChaseTest : public ::testing::Test {
 protected:
  void SetUp() override { chase_setup(tables_, *link_codec()); }

  void random_codeword(unsigned char* word) {
    uint8_t data[12], code[16];
    for (auto& b : data) b = static_cast<uint8_t>(rng_() & 31);
    gen::rs_encode(data, code);
    std::memcpy(word, code, 16);
  }

  ChaseTables tables_;
  std::mt19937 rng_{3};
};

TEST_F(ChaseTest, TheTableDecoderCorrectsWhatTheCodecDoesWithErrorsOnly) {
  for (int trial = 0; trial < 3000; ++trial) {
    unsigned char word[16], received[16];
    random_codeword(word);
    EXPECT_EQ(block_syndromes(tables_, word), 0u);
    std::memcpy(received, word, sizeof word);
    const int errors = trial % 4;  // 3 is beyond the code: both must agree it is not word
    for (int e = 0; e < errors; ++e)
      received[rng_() % 16] ^= static_cast<unsigned char>(1 + rng_() % 31);
    unsigned char by_codec[16];
    std::memcpy(by_codec, received, sizeof by_codec);
    const int codec = decode_rs_char(link_codec(), by_codec, nullptr, 0);
    int index[2], value[2];
    const int n = decode_syndromes(tables_, block_syndromes(tables_, received), index, value);
    // The codec may also "correct" a word by roots outside it, leaving no
    // codeword: then there is none within two symbols.
    int apart = 0;
    for (int i = 0; i < 16; ++i) apart += by_codec[i] != received[i];
    if (codec < 0 || block_syndromes(tables_, by_codec) != 0 || apart > 2) {
      EXPECT_EQ(n, -1) << "trial " << trial;
      continue;
    }
    ASSERT_GE(n, 0) << "trial " << trial << " errors " << errors << " codec " << codec;
    for (int c = 0; c < n; ++c) received[index[c]] ^= static_cast<unsigned char>(value[c]);
    EXPECT_EQ(std::memcmp(received, by_codec, sizeof received), 0) << "trial " << trial;
  }
}

TEST_F(ChaseTest, FindsABlockWithFourSingleBitErrorsInFourSymbols) {
  unsigned char word[16], received[16];
  random_codeword(word);
  std::memcpy(received, word, sizeof word);
  int32_t reliability[kChaseBits];
  for (auto& r : reliability) r = 1000 + static_cast<int32_t>(rng_() % 1000);
  // Four wrong bits in symbols 1, 6, 9 and 14, each unsure; four right bits
  // as unsure, so that the test words must find which four to flip.
  for (int bit : {1 * 5 + 2, 6 * 5 + 0, 9 * 5 + 4, 14 * 5 + 3}) {
    received[bit / 5] ^= static_cast<unsigned char>(1 << (bit % 5));
    reliability[bit] = 100 + bit;
  }
  for (int bit : {3 * 5 + 1, 7 * 5 + 2, 11 * 5 + 3, 15 * 5 + 4}) reliability[bit] = 90 + bit;
  unsigned char hard[16];
  std::memcpy(hard, received, sizeof hard);
  // Beyond errors-only decoding: no codeword, or a wrong one.
  const int codec = decode_rs_char(link_codec(), hard, nullptr, 0);
  EXPECT_TRUE(codec < 0 || std::memcmp(hard, word, sizeof word) != 0);

  ChaseResult result;
  ASSERT_EQ(chase_decode(tables_, reliability, 8, received, result), 1);
  EXPECT_EQ(std::memcmp(received, word, sizeof word), 0);
  EXPECT_EQ(result.changed, 4);
  EXPECT_EQ(result.metric, 100 + 7 + 100 + 30 + 100 + 49 + 100 + 73);
}

TEST_F(ChaseTest, KeepsTheClosestCodewordAndLeavesACleanWordAlone) {
  unsigned char word[16], received[16];
  random_codeword(word);
  int32_t reliability[kChaseBits];
  for (auto& r : reliability) r = 500;
  ChaseResult result;
  std::memcpy(received, word, sizeof word);
  ASSERT_EQ(chase_decode(tables_, reliability, 8, received, result), 1);
  EXPECT_EQ(result.changed, 0);
  EXPECT_EQ(std::memcmp(received, word, sizeof word), 0);
  // Two bits wrong in two symbols, all bits equally sure: every other
  // codeword differs in at least five bits.
  received[4] ^= 0x01;
  received[12] ^= 0x10;
  unsigned char again[16];
  std::memcpy(again, received, sizeof again);
  ASSERT_EQ(chase_decode(tables_, reliability, 8, received, result), 1);
  EXPECT_EQ(std::memcmp(received, word, sizeof word), 0);
  EXPECT_EQ(result.changed, 2);
  EXPECT_EQ(result.metric, 2 * 500);
  // With eight unsure bits another codeword may lie closer: whatever wins
  // is a codeword, no farther than the sent one, at the metric it reports.
  for (int b = 0; b < 8; ++b) reliability[b * 9] = 10;
  ASSERT_EQ(chase_decode(tables_, reliability, 8, again, result), 1);
  EXPECT_EQ(block_syndromes(tables_, again), 0u);
  EXPECT_LE(result.metric, 2 * 500);
  int32_t metric = 0;
  for (int b = 0; b < kChaseBits; ++b) {
    const bool sent = (word[b / 5] >> (b % 5)) & 1;
    const bool corrupted = b == 4 * 5 || b == 12 * 5 + 4;
    const bool got = (again[b / 5] >> (b % 5)) & 1;
    if (got != (sent != corrupted)) metric += reliability[b];
  }
  EXPECT_EQ(metric, result.metric);
}

}  // namespace
}  // namespace morvix::test
