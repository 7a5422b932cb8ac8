// SPDX-License-Identifier: Apache-2.0
// What the sync search's and the sync scan's tests share: the sync word's
// line bits, sample indices and feeding the ring.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>

#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"
#include "tools/gen/signal_gen.h"

namespace morvix::test {

// The sync word's 40 line bits, the listed ones flipped.
inline gen::Bits sync_bits(std::initializer_list<int> wrong = {}) {
  gen::Bits bits(kSyncLineBits.begin(), kSyncLineBits.end());
  for (int i : wrong) bits[static_cast<size_t>(i)] ^= 1;
  return bits;
}

// Sample index of (byte, bit) counted from sample 0 at byte 0 bit 7.
inline long sample_index(int byte, int bit) { return byte * 8L + (7 - bit); }

inline void feed(SampleRing& r, const gen::Bytes& bytes) {
  ASSERT_EQ(ring_write(r, bytes.data(), static_cast<int>(bytes.size())),
            static_cast<int>(bytes.size()));
}

}  // namespace morvix::test
