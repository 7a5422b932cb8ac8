// SPDX-License-Identifier: Apache-2.0
#include "decoder/crc.h"

#include <gtest/gtest.h>

namespace morvix {
namespace {

TEST(Crc, MatchesThePublishedX25CheckValues) {
  const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  unsigned char low = 0, high = 0;
  ComputeCrc(digits, 9, low, high);
  EXPECT_EQ(low, 0x6E);
  EXPECT_EQ(high, 0x90);
  const unsigned char abc[] = {'a', 'b', 'c'};
  ComputeCrc(abc, 3, low, high);
  EXPECT_EQ(low, 0x25);
  EXPECT_EQ(high, 0x9E);
}

}  // namespace
}  // namespace morvix
