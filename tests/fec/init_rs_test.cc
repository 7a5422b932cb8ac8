// SPDX-License-Identifier: Apache-2.0
#include "fec/init_rs.h"

#include <gtest/gtest.h>

#include <vector>

#include "fec/link_codec.h"

namespace morvix {
namespace {

// Owns a codec for the length of one test; null when init_rs_char refused it.
struct Codec {
  rs_codec* rs;
  Codec(uint32_t symbol_bits, int field_poly, int first_root, int root_step, int parity_count,
        int pad_count)
      : rs(init_rs_char(symbol_bits, field_poly, first_root, root_step, parity_count, pad_count)) {}
  ~Codec() {
    if (rs != nullptr) free_rs_char(rs);
  }
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;
};

bool Accepts(uint32_t symbol_bits, int field_poly, int first_root, int root_step, int parity_count,
             int pad_count) {
  return Codec(symbol_bits, field_poly, first_root, root_step, parity_count, pad_count).rs !=
         nullptr;
}

std::vector<int> Bytes(const unsigned char* p, int count) { return {p, p + count}; }

class InitRsTest : public ::testing::Test {
 protected:
  const rs_codec& rs_ = *link_codec();
};

TEST_F(InitRsTest, ExpAndLogTablesAreInverseOverEveryNonzeroElement) {
  for (int x = 1; x <= 31; x++) {
    EXPECT_EQ(rs_.exp_table[rs_.log_table[x]], x) << "x = " << x;
    EXPECT_EQ(rs_.log_table[rs_.exp_table[x - 1]], x - 1) << "i = " << x - 1;
  }
}

TEST(InitRsReduceTest, ReducesModuloFullLengthForEverySymbolSize) {
  for (uint32_t m = 2; m <= 8; m++) {
    const int polys[] = {0, 0, 0x7, 0xB, 0x13, 0x25, 0x43, 0x89, 0x11D};
    Codec codec(m, polys[m], 0, 1, 1, 0);
    ASSERT_NE(codec.rs, nullptr) << "m = " << m;
    for (int x = 0; x < 200000; x++) {
      ASSERT_EQ(rs_reduce(*codec.rs, x), x % codec.rs->full_length) << "m = " << m << " x = " << x;
    }
  }
}

TEST(InitRsParamsTest, RefusesParametersOutsideTheirRanges) {
  EXPECT_FALSE(Accepts(9, 0x25, 14, 1, 4, 15));
  EXPECT_FALSE(Accepts(0, 0x25, 14, 1, 4, 15));
  EXPECT_FALSE(Accepts(5, 0x25, -1, 1, 4, 15));
  EXPECT_FALSE(Accepts(5, 0x25, 32, 1, 4, 15));
  EXPECT_FALSE(Accepts(5, 0x25, 14, 0, 4, 15));
  EXPECT_FALSE(Accepts(5, 0x25, 14, 32, 4, 15));
  EXPECT_FALSE(Accepts(5, 0x25, 14, 1, -1, 15));
  EXPECT_FALSE(Accepts(5, 0x25, 14, 1, 31, 0));
  EXPECT_FALSE(Accepts(5, 0x25, 14, 1, 4, -1));
  EXPECT_FALSE(Accepts(5, 0x25, 14, 1, 4, 27));
}

TEST(InitRsParamsTest, AcceptsTheLargestFirstRootAndOneDataSymbol) {
  EXPECT_TRUE(Accepts(5, 0x25, 31, 1, 4, 15));
  EXPECT_TRUE(Accepts(5, 0x25, 14, 1, 4, 26));
}

TEST(InitRsParamsTest, RefusesARootStepWithoutInverse) {
  EXPECT_FALSE(Accepts(5, 0x25, 14, 31, 4, 15));
  EXPECT_FALSE(Accepts(4, 0x13, 0, 3, 4, 0));
  EXPECT_FALSE(Accepts(4, 0x13, 0, 5, 4, 0));
}

TEST(InitRsParamsTest, RootStepInverseIsTheInverseModuloFullLength) {
  Codec step2(5, 0x25, 14, 2, 4, 15);
  Codec step3(5, 0x25, 14, 3, 4, 15);
  ASSERT_NE(step2.rs, nullptr);
  ASSERT_NE(step3.rs, nullptr);
  EXPECT_EQ(step2.rs->root_step_inverse, 16);
  EXPECT_EQ(step3.rs->root_step_inverse, 21);
}

TEST(InitRsFieldTest, AcceptsOnlyPolynomialsThatGenerateEveryNonzeroElement) {
  for (int poly : {0x21, 0x23, 0x3F}) EXPECT_FALSE(Accepts(5, poly, 14, 1, 4, 15)) << poly;
  for (int poly : {0x29, 0x2F, 0x37, 0x3B, 0x3D})
    EXPECT_TRUE(Accepts(5, poly, 14, 1, 4, 15)) << poly;
  // x^4 + x^3 + x^2 + x + 1 has period 5, which divides 15: the register is
  // back at 1 after 15 steps without having visited every element.
  EXPECT_FALSE(Accepts(4, 0x1F, 0, 1, 4, 0));
  EXPECT_TRUE(Accepts(4, 0x13, 0, 1, 4, 0));
}

TEST(InitRsFieldTest, OnlyTheLowSymbolBitsOfTheFieldPolynomialCount) {
  const rs_codec& full = *link_codec();
  Codec low(5, 0x05, 14, 1, 4, 15);
  ASSERT_NE(low.rs, nullptr);
  EXPECT_EQ(Bytes(low.rs->exp_table, 32), Bytes(full.exp_table, 32));
  EXPECT_EQ(Bytes(low.rs->log_table, 32), Bytes(full.log_table, 32));
  EXPECT_EQ(Bytes(low.rs->generator, 5), Bytes(full.generator, 5));
}

}  // namespace
}  // namespace morvix
