// SPDX-License-Identifier: Apache-2.0
#include "fec/decode_rs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "fec/encode_rs.h"
#include "fec/init_rs.h"
#include "fec/link_codec.h"

namespace morvix {
namespace {

using Word = std::vector<unsigned char>;
using Positions = std::vector<int32_t>;

// Systematic encoder: the data symbols, then the remainder of data(x) x^P
// divided by the generator. Uses % rather than rs_reduce to stay independent
// of the code under test.
Word Encode(const rs_codec& rs, const Word& data) {
  const int n = rs.full_length;
  const int p = rs.parity_count;
  auto times = [&](int a, int log_b) {
    return a == 0 || log_b == n ? 0 : rs.exp_table[(rs.log_table[a] + log_b) % n];
  };
  Word parity(static_cast<size_t>(p), 0);
  for (unsigned char symbol : data) {
    const int feedback = symbol ^ parity[0];
    for (int j = 0; j + 1 < p; j++) {
      parity[j] =
          static_cast<unsigned char>(parity[j + 1] ^ times(feedback, rs.generator[p - 1 - j]));
    }
    parity[p - 1] = static_cast<unsigned char>(times(feedback, rs.generator[0]));
  }
  Word word = data;
  word.insert(word.end(), parity.begin(), parity.end());
  return word;
}

Word RandomCodeword(const rs_codec& rs, std::mt19937& rng) {
  std::uniform_int_distribution<int> symbol(0, rs.full_length);
  Word data(static_cast<size_t>(rs.full_length - rs.pad_count - rs.parity_count));
  for (auto& d : data) d = static_cast<unsigned char>(symbol(rng));
  return Encode(rs, data);
}

class DecodeRsTest : public ::testing::Test {
 protected:
  const rs_codec* rs_ = link_codec();
  std::mt19937 rng_{12345};  // fixed seed

  // Decodes a copy of the all-zero word with the given elements set; the
  // positions array starts as four -7 so that untouched entries show.
  int DecodeZeroWordWith(std::vector<std::pair<int, int>> set, Word& word, Positions& positions) {
    word.assign(16, 0);
    for (auto [element, value] : set) word[element] = static_cast<unsigned char>(value);
    positions.assign(4, -7);
    return decode_rs_char(rs_, word.data(), positions.data(), 0);
  }
  Word word_;
  Positions positions_;
};

TEST_F(DecodeRsTest, ValidCodewordsComeBackUnchanged) {
  EXPECT_EQ(DecodeZeroWordWith({}, word_, positions_), 0);
  EXPECT_EQ(word_, Word(16, 0));
  for (int trial = 0; trial < 1000; trial++) {
    Word word = RandomCodeword(*rs_, rng_);
    const Word sent = word;
    ASSERT_EQ(decode_rs_char(rs_, word.data(), nullptr, 0), 0) << "trial " << trial;
    ASSERT_EQ(word, sent);
  }
}

TEST_F(DecodeRsTest, ReportsFullLengthPositionsOfCorrectedSymbols) {
  EXPECT_EQ(DecodeZeroWordWith({{0, 1}}, word_, positions_), 1);
  EXPECT_EQ(word_, Word(16, 0));
  EXPECT_EQ(positions_, (Positions{15, -7, -7, -7}));

  EXPECT_EQ(DecodeZeroWordWith({{15, 7}}, word_, positions_), 1);
  EXPECT_EQ(word_, Word(16, 0));
  EXPECT_EQ(positions_, (Positions{30, -7, -7, -7}));

  EXPECT_EQ(DecodeZeroWordWith({{3, 5}, {9, 17}}, word_, positions_), 2);
  EXPECT_EQ(word_, Word(16, 0));
  EXPECT_EQ(positions_, (Positions{18, 24, -7, -7}));
}

TEST_F(DecodeRsTest, UncorrectableWordLeavesBothArraysUntouched) {
  EXPECT_EQ(DecodeZeroWordWith({{0, 1}, {1, 1}, {2, 2}}, word_, positions_), -1);
  EXPECT_EQ(word_, (Word{1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(positions_, Positions(4, -7));
}

TEST_F(DecodeRsTest, RootsInThePadRegionChangeNothing) {
  EXPECT_EQ(DecodeZeroWordWith({{0, 1}, {1, 1}, {2, 7}}, word_, positions_), 2);
  EXPECT_EQ(word_, (Word{1, 1, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(positions_, (Positions{5, 6, -7, -7}));
}

TEST_F(DecodeRsTest, ThreeErrorsCanMiscorrectASingleOtherSymbol) {
  EXPECT_EQ(DecodeZeroWordWith({{0, 1}, {1, 1}, {2, 1}}, word_, positions_), 2);
  EXPECT_EQ(word_, (Word{1, 1, 1, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(positions_, (Positions{8, 24, -7, -7}));
}

TEST_F(DecodeRsTest, LocatorOfOneReportsNothingDespiteNonzeroSyndromes) {
  EXPECT_EQ(DecodeZeroWordWith({{0, 1}, {1, 8}, {2, 4}}, word_, positions_), 0);
  EXPECT_EQ(word_, (Word{1, 8, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(positions_, Positions(4, -7));
}

TEST_F(DecodeRsTest, CorrectsEverySingleSymbolErrorAtEveryPosition) {
  for (int element = 0; element < 16; element++) {
    for (int error = 1; error <= 31; error++) {
      const Word sent = RandomCodeword(*rs_, rng_);
      Word word = sent;
      word[element] ^= static_cast<unsigned char>(error);
      int32_t position = -7;
      ASSERT_EQ(decode_rs_char(rs_, word.data(), &position, 0), 1)
          << "element " << element << " error " << error;
      ASSERT_EQ(word, sent) << "element " << element << " error " << error;
      ASSERT_EQ(position, 15 + element);
    }
  }
}

TEST_F(DecodeRsTest, CorrectsEveryKindOfDoubleSymbolError) {
  std::uniform_int_distribution<int> element(0, 15);
  std::uniform_int_distribution<int> error(1, 31);
  for (int trial = 0; trial < 20000; trial++) {
    const Word sent = RandomCodeword(*rs_, rng_);
    Word word = sent;
    const int a = element(rng_);
    int b = element(rng_);
    while (b == a) b = element(rng_);
    word[a] ^= static_cast<unsigned char>(error(rng_));
    word[b] ^= static_cast<unsigned char>(error(rng_));
    Positions positions(4, -7);
    ASSERT_EQ(decode_rs_char(rs_, word.data(), positions.data(), 0), 2) << "trial " << trial;
    ASSERT_EQ(word, sent) << "trial " << trial;
    ASSERT_EQ(positions, (Positions{15 + std::min(a, b), 15 + std::max(a, b), -7, -7}));
  }
}

TEST_F(DecodeRsTest, ErasuresCountEvenWhenTheirSymbolWasRight) {
  Word word(16, 0);
  word[2] = 9;
  word[11] = 22;
  Positions positions{17, 20, -7, -7};
  EXPECT_EQ(decode_rs_char(rs_, word.data(), positions.data(), 2), 3);
  EXPECT_EQ(word, Word(16, 0));
  EXPECT_EQ(positions, (Positions{17, 20, 26, -7}));
}

TEST_F(DecodeRsTest, ErasuresOnACleanWordReportNothing) {
  Word word = RandomCodeword(*rs_, rng_);
  const Word sent = word;
  Positions positions{17, 20, 23, 30};
  EXPECT_EQ(decode_rs_char(rs_, word.data(), positions.data(), 4), 0);
  EXPECT_EQ(word, sent);
  EXPECT_EQ(positions, (Positions{17, 20, 23, 30}));
}

TEST_F(DecodeRsTest, FourErasuresRestoreAnyContentsOfTheirSymbols) {
  std::uniform_int_distribution<int> symbol(0, 31);
  std::uniform_int_distribution<int> wrong_set(1, 15);
  for (int trial = 0; trial < 5000; trial++) {
    const Word sent = RandomCodeword(*rs_, rng_);
    Word word = sent;
    // At least one of the four erased symbols is wrong; the others may be too.
    const int wrong = wrong_set(rng_);
    for (int e = 0; e < 4; e++) {
      if (wrong & (1 << e)) {
        word[e] = static_cast<unsigned char>(word[e] ^ (1 + symbol(rng_) % 31));
      }
    }
    Positions positions{15, 16, 17, 18};
    ASSERT_EQ(decode_rs_char(rs_, word.data(), positions.data(), 4), 4) << "trial " << trial;
    ASSERT_EQ(word, sent) << "trial " << trial;
  }
}

TEST(DecodeRsNoParityTest, CodeWithoutParityCorrectsNothing) {
  rs_codec* rs = init_rs_char(5, 0x25, 0, 1, 0, 0);
  ASSERT_NE(rs, nullptr);
  Word word(31, 5);
  EXPECT_EQ(decode_rs_char(rs, word.data(), nullptr, 0), 0);
  EXPECT_EQ(word, Word(31, 5));
  free_rs_char(rs);
}

// Any mix of e errors and f erasures with 2e + f <= parity_count is corrected,
// in trials random words of the code.
void CorrectsErrorsAndErasuresUpToThePower(const rs_codec* rs, int trials) {
  std::mt19937 rng(777);  // fixed seed
  const int parity_count = rs->parity_count;
  const int length = rs->full_length - rs->pad_count;
  std::vector<int> elements(static_cast<size_t>(length));
  std::iota(elements.begin(), elements.end(), 0);
  for (int trial = 0; trial < trials; trial++) {
    const Word sent = RandomCodeword(*rs, rng);
    Word word = sent;
    const int erasures = std::uniform_int_distribution<int>(0, parity_count)(rng);
    const int errors = std::uniform_int_distribution<int>(0, (parity_count - erasures) / 2)(rng);
    std::shuffle(elements.begin(), elements.end(), rng);
    Positions positions(static_cast<size_t>(parity_count), -7);
    Positions expected;
    for (int k = 0; k < erasures + errors; k++) {
      const int e = elements[k];
      const int low = k < erasures ? 0 : 1;  // an erased symbol may be right
      word[e] ^=
          static_cast<unsigned char>(std::uniform_int_distribution<int>(low, rs->full_length)(rng));
      if (k < erasures) positions[k] = rs->pad_count + e;
      expected.push_back(rs->pad_count + e);
    }
    const bool clean = word == sent;
    const int result = decode_rs_char(rs, word.data(), positions.data(), erasures);
    ASSERT_EQ(word, sent) << "trial " << trial;
    if (clean) continue;
    ASSERT_EQ(result, erasures + errors) << "trial " << trial;
    std::sort(positions.begin(), positions.begin() + result);
    std::sort(expected.begin(), expected.end());
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), positions.begin()));
  }
}

TEST_F(DecodeRsTest, CorrectsErrorsAndErasuresUpToTheCodesPower) {
  CorrectsErrorsAndErasuresUpToThePower(rs_, 5000);
}

// Other symbol sizes, root steps, first roots and parity counts.
struct CodeParams {
  uint32_t symbol_bits;
  int field_poly, first_root, root_step, parity_count, pad_count, trials;
};

class DecodeRsCodesTest : public ::testing::TestWithParam<CodeParams> {};

TEST_P(DecodeRsCodesTest, CorrectsErrorsAndErasuresUpToTheCodesPower) {
  const CodeParams& c = GetParam();
  rs_codec* rs = init_rs_char(c.symbol_bits, c.field_poly, c.first_root, c.root_step,
                              c.parity_count, c.pad_count);
  ASSERT_NE(rs, nullptr);
  CorrectsErrorsAndErasuresUpToThePower(rs, c.trials);
  free_rs_char(rs);
}

// The codec's own encoder against the independent one above, and its words
// decode clean: the two directions of one codec agree.
TEST_P(DecodeRsCodesTest, EncoderMakesTheWordsTheDecoderAccepts) {
  const CodeParams& c = GetParam();
  rs_codec* rs = init_rs_char(c.symbol_bits, c.field_poly, c.first_root, c.root_step,
                              c.parity_count, c.pad_count);
  ASSERT_NE(rs, nullptr);
  std::mt19937 rng(99);  // fixed seed
  for (int trial = 0; trial < 200; trial++) {
    const Word reference = RandomCodeword(*rs, rng);
    const auto data_count = reference.size() - static_cast<size_t>(rs->parity_count);
    Word word(reference.begin(), reference.begin() + static_cast<long>(data_count));
    word.resize(reference.size());
    encode_rs_char(rs, word.data(), word.data() + data_count);
    ASSERT_EQ(word, reference) << "trial " << trial;
    ASSERT_EQ(decode_rs_char(rs, word.data(), nullptr, 0), 0) << "trial " << trial;
  }
  free_rs_char(rs);
}

INSTANTIATE_TEST_SUITE_P(Codes, DecodeRsCodesTest,
                         ::testing::Values(CodeParams{5, 0x25, 14, 1, 4, 15, 3000},
                                           CodeParams{5, 0x25, 3, 3, 6, 5, 3000},
                                           CodeParams{4, 0x13, 0, 2, 4, 2, 3000},
                                           CodeParams{3, 0xB, 7, 1, 2, 1, 1000},
                                           CodeParams{8, 0x11D, 1, 1, 32, 0, 1000},
                                           CodeParams{8, 0x11D, 5, 7, 16, 100, 1000},
                                           CodeParams{8, 0x11D, 0, 1, 254, 0, 100}));

}  // namespace
}  // namespace morvix
