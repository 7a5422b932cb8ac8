// SPDX-License-Identifier: Apache-2.0
#include "fec/link_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace morvix {
namespace {

std::vector<int> Bytes(const unsigned char* p, int count) { return {p, p + count}; }

TEST(LinkCodecTest, HasTheKnownParametersTablesAndGenerator) {
  const rs_codec& rs = *link_codec();
  EXPECT_EQ(rs.symbol_bits, 5);
  EXPECT_EQ(rs.full_length, 31);
  EXPECT_EQ(rs.parity_count, 4);
  EXPECT_EQ(rs.first_root, 14);
  EXPECT_EQ(rs.root_step, 1);
  EXPECT_EQ(rs.root_step_inverse, 1);
  EXPECT_EQ(rs.pad_count, 15);
  EXPECT_EQ(Bytes(rs.exp_table, 10), (std::vector<int>{1, 2, 4, 8, 16, 5, 10, 20, 13, 26}));
  EXPECT_EQ(rs.exp_table[30], 18);
  EXPECT_EQ(rs.exp_table[31], 0);
  EXPECT_EQ(Bytes(rs.log_table, 9), (std::vector<int>{31, 0, 1, 18, 2, 5, 19, 11, 3}));
  EXPECT_EQ(rs.log_table[31], 15);
  // g(x) = x^4 + 10 x^3 + 29 x^2 + 10 x + 1, log form, constant term first.
  EXPECT_EQ(Bytes(rs.generator, 5), (std::vector<int>{0, 6, 14, 6, 0}));
}

}  // namespace
}  // namespace morvix
