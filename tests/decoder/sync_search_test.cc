// SPDX-License-Identifier: Apache-2.0
#include "decoder/sync_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decoder/sample_ring.h"
#include "decoder/sync_scan.h"
#include "tests/decoder/sync_test_util.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/reference_sync.h"

namespace morvix {
namespace {

using test::feed;
using test::sample_index;
using test::sync_bits;

TEST(SyncSearchTables, MatchTheDefaultStepTables) {
  Decoder d;
  decoder_setup(d, 10, 0, nullptr);
  EXPECT_EQ(d.sync.minmatchbytes, 52);
  const int bbytes[8] = {2, 2, 1, 1, 1, 1, 1, 1};
  const int bbnext[8] = {6, 7, 0, 1, 2, 3, 4, 5};
  for (int p = 0; p < 8; ++p) {
    EXPECT_EQ(d.ring.bbytes[p], bbytes[p]);
    EXPECT_EQ(d.ring.bbnext[p], bbnext[p]);
  }
  EXPECT_EQ(kSyncLineBits[5], 1);
  EXPECT_EQ(kSyncLineBits[4], 0);
}

TEST(SyncSearch, FindsTheSyncWordAsWholeBytesAtEightSamplesPerBit) {
  Decoder d;
  decoder_setup(d, 8, 0, nullptr);
  gen::SampleWriter w(8);
  w.add_idle(8);
  w.add_line_bits(sync_bits());
  w.add_idle(8 * 8 * 20);
  const gen::Bytes bytes = w.take();
  const unsigned char start[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[static_cast<size_t>(1 + i)], start[i]);
  feed(d.ring, bytes);
  ASSERT_EQ(get_frame_id(d.ring, d.sync), 1);
  EXPECT_EQ(d.ring.brdp, 1);
  EXPECT_EQ(d.ring.brdb, 7);
  EXPECT_EQ(d.ring.bbp, 41);  // the byte after the 40 sync bytes
  EXPECT_EQ(d.ring.bbb, 7);
}

TEST(SyncSearch, AcceptsFiveWrongBitsAndRefusesSix) {
  for (int wrong : {5, 6}) {
    Decoder d;
    decoder_setup(d, 10, 0, nullptr);
    gen::SampleWriter w(10);
    w.add_idle(13);
    w.add_line_bits(wrong == 5 ? sync_bits({0, 9, 17, 30, 39}) : sync_bits({0, 9, 17, 30, 39, 22}));
    w.add_idle(10 * 100);
    feed(d.ring, w.take());
    EXPECT_EQ(get_frame_id(d.ring, d.sync), wrong == 5 ? 1 : 0) << wrong;
  }
}

TEST(SyncSearch, FindsTheFirstMatchingPhaseAtEveryOffset) {
  for (int sps : {1, 3, 8, 10, 16}) {
    for (int offset = 1; offset < 8 + sps; ++offset) {
      Decoder d;
      decoder_setup(d, sps, 0, nullptr);
      gen::SampleWriter w(sps);
      w.add_idle(offset);
      w.add_line_bits(sync_bits());
      w.add_idle(sps * 80);
      feed(d.ring, w.take());
      ASSERT_EQ(get_frame_id(d.ring, d.sync), 1) << sps << " " << offset;
      EXPECT_EQ(sample_index(d.ring.brdp, d.ring.brdb), offset) << sps << " " << offset;
      EXPECT_EQ(sample_index(d.ring.bbp, d.ring.bbb), offset + 40L * sps);
      // A rejected frame: the same word matches again one sample later, at
      // every phase of its first bit, and then no more.
      for (int phase = 1; phase < sps; ++phase) {
        ASSERT_EQ(get_frame_id(d.ring, d.sync), 1);
        EXPECT_EQ(sample_index(d.ring.brdp, d.ring.brdb), offset + phase);
      }
      EXPECT_EQ(get_frame_id(d.ring, d.sync), 0);
    }
  }
}

TEST(SyncSearch, FindsASyncWordThatRunsAcrossTheRingEnd) {
  Decoder d;
  decoder_setup(d, 10, 0, nullptr);
  // Walk the ring positions close to its end, as a long-running search would.
  const int start = kRingBytes - 20;
  d.ring.bwrp = d.ring.brdp = start;
  d.ring.brdb = 7;
  gen::SampleWriter w(10);
  w.add_idle(8 * 10 + 3);
  w.add_line_bits(sync_bits());
  w.add_idle(10 * 60);
  feed(d.ring, w.take());
  ASSERT_EQ(get_frame_id(d.ring, d.sync), 1);
  EXPECT_EQ(d.ring.brdp, start + 10);
  EXPECT_EQ(d.ring.brdb, 7 - 3);
  EXPECT_LT(d.ring.bbp, start);  // the block begins after the wrap
}

TEST(SyncSearch, NeedsMinmatchbytesUnreadBytes) {
  for (int extra : {0, -1}) {
    Decoder d;
    decoder_setup(d, 10, 0, nullptr);
    const gen::Bytes noise(static_cast<size_t>(d.sync.minmatchbytes + extra), 0x55);
    feed(d.ring, noise);
    EXPECT_EQ(get_frame_id(d.ring, d.sync), 0);
    // Attempts go on through the first byte until the count drops below the
    // minimum; with one byte less none is made.
    EXPECT_EQ(d.ring.brdp, extra == 0 ? 1 : 0) << extra;
    EXPECT_EQ(d.ring.brdb, 7) << extra;
  }
}

TEST(SyncSearch, WaitsForSamplesThatHaveNotArrived) {
  // At one sample per bit minmatchbytes (5) does not cover the 40 samples.
  Decoder d;
  decoder_setup(d, 1, 0, nullptr);
  gen::SampleWriter w(1);
  w.add_idle(1);
  w.add_line_bits(sync_bits());
  w.add_idle(23);
  const gen::Bytes bytes = w.take();  // 64 samples
  feed(d.ring, gen::Bytes(bytes.begin(), bytes.begin() + 5));
  EXPECT_EQ(get_frame_id(d.ring, d.sync), 0);
  EXPECT_EQ(sample_index(d.ring.brdp, d.ring.brdb), 0);  // nothing tried, nothing moved
  feed(d.ring, gen::Bytes(bytes.begin() + 5, bytes.end()));
  EXPECT_EQ(get_frame_id(d.ring, d.sync), 1);
  EXPECT_EQ(sample_index(d.ring.brdp, d.ring.brdb), 1);
}

TEST(SyncSearch, IgnoresAnInvertedStreamAndNoise) {
  Decoder d;
  decoder_setup(d, 10, 0, nullptr);
  gen::SampleWriter w(10);
  gen::Bits inverted = sync_bits();
  for (auto& bit : inverted) bit ^= 1;
  w.add_idle(5);
  w.add_line_bits(inverted);
  std::mt19937 rng(7);
  w.add_noise(30000, rng);
  feed(d.ring, w.take());
  EXPECT_EQ(get_frame_id(d.ring, d.sync), 0);
}

}  // namespace
}  // namespace morvix
