// SPDX-License-Identifier: Apache-2.0
// Erasures by trust on hand-made blocks: which symbols are marked, which
// corrections are taken and which are refused.
#include "decoder/majority_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fec/link_codec.h"
#include "tools/gen/signal_gen.h"

namespace morvix {
namespace {

constexpr int kStrong = 7;  // every sample of a bit's window agreed

class MajorityBlockTest : public ::testing::Test {
 protected:
  MajorityBlockTest() {
    const uint8_t data[12] = {3, 31, 0, 7, 19, 1, 22, 9, 14, 30, 2, 11};
    gen::rs_encode(data, codeword_);
    std::memcpy(word_, codeword_, sizeof word_);
    std::memset(margins_, kStrong, sizeof margins_);
  }

  // Turns symbol s over by value; weak marks one of its bits as decided by
  // one vote.
  void damage(int s, uint8_t value, bool weak) {
    word_[s] ^= value;
    if (weak) margins_[s * 5 + 2] = 1;
  }

  int correct(int& erased) {
    return correct_with_erasures(link_codec(), word_, margins_, 2 * kStrong, erased);
  }

  uint8_t codeword_[16];
  uint8_t word_[16];
  unsigned char margins_[80];
};

TEST_F(MajorityBlockTest, MarksTheSymbolsWithTheNarrowestMajoritiesFirst) {
  margins_[9 * 5 + 4] = 1;
  margins_[12 * 5 + 0] = 1;
  margins_[12 * 5 + 1] = 3;  // as narrow as symbol 9, weaker in all
  margins_[3 * 5 + 3] = 3;
  int32_t positions[4];
  least_trusted(margins_, 4, positions);
  // Then the first of the symbols that are all alike.
  EXPECT_EQ(std::vector<int32_t>(positions, positions + 4),
            (std::vector<int32_t>{kLinkPad + 12, kLinkPad + 9, kLinkPad + 3, kLinkPad + 0}));
}

TEST_F(MajorityBlockTest, ErasesWeakSymbolsBeyondWhatErrorsAloneCorrect) {
  for (const std::vector<int>& wrong : std::vector<std::vector<int>>{{2, 9, 14}, {0, 5, 6, 15}}) {
    std::memcpy(word_, codeword_, sizeof word_);
    std::memset(margins_, kStrong, sizeof margins_);
    for (int s : wrong) damage(s, 0x04, true);
    int erased = -1;
    EXPECT_GE(correct(erased), static_cast<int>(wrong.size()));
    EXPECT_GE(erased, 2);
    EXPECT_EQ(0, std::memcmp(word_, codeword_, sizeof word_));
  }
}

TEST_F(MajorityBlockTest, RefusesCorrectionsThatOverruleClearMajorities) {
  // Three wrong symbols, each bit of them decided unanimously: the right
  // codeword is as dear as any other, and the block is given up.
  damage(1, 0x04, false);
  damage(8, 0x10, false);
  damage(13, 0x01, false);
  uint8_t before[16];
  std::memcpy(before, word_, sizeof before);
  int erased = -1;
  EXPECT_EQ(correct(erased), -1);
  EXPECT_EQ(0, std::memcmp(word_, before, sizeof word_));
}

TEST_F(MajorityBlockTest, TakesOnlyCodewords) {
  // The zero word with 1, 8, 4 in its first three symbols: the codec finds
  // nothing to correct in it (its locator comes out as 1), yet it is no
  // codeword. Clean, it is 0 corrections; weak, it is mended.
  std::memset(codeword_, 0, sizeof codeword_);
  std::memcpy(word_, codeword_, sizeof word_);
  word_[0] = 1, word_[1] = 8, word_[2] = 4;
  int erased = -1;
  EXPECT_EQ(correct(erased), -1);
  for (int s = 0; s < 3; ++s) margins_[s * 5 + 2] = margins_[s * 5 + 3] = margins_[s * 5] = 1;
  EXPECT_EQ(correct(erased), 3);
  EXPECT_EQ(0, std::memcmp(word_, codeword_, sizeof word_));

  std::memset(margins_, kStrong, sizeof margins_);
  EXPECT_EQ(correct(erased), 0);
  EXPECT_EQ(erased, 0);
}

}  // namespace
}  // namespace morvix
