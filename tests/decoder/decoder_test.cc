// SPDX-License-Identifier: Apache-2.0
#include "decoder/decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "decoder/sample_ring.h"

namespace morvix {
namespace {

TEST(SampleRingSize, HoldsTheLongestFrameAtAnySamplesPerBit) {
  EXPECT_EQ(ring_bytes_for(1), kRingBytes);
  EXPECT_EQ(ring_bytes_for(10), kRingBytes);
  for (int sps : {11, 20, 1000}) {
    const long frame_samples = 3525L * sps;  // sync word and 41 blocks
    EXPECT_GE(ring_bytes_for(sps) * 8L, frame_samples + 7 + 8) << sps;
  }
  Decoder d;
  decoder_setup(d, 20, 0, nullptr);
  EXPECT_EQ(d.ring.ring_bytes, ring_bytes_for(20));
  const std::vector<unsigned char> lots(static_cast<size_t>(d.ring.ring_bytes) + 50, 0xAA);
  EXPECT_EQ(ring_write(d, lots.data(), static_cast<int>(lots.size())), d.ring.ring_bytes);
  EXPECT_EQ(d.ring.bwrp, 0);
}

}  // namespace
}  // namespace morvix
