// SPDX-License-Identifier: Apache-2.0
// The word-parallel sync scan against the step-by-step reference search.
#include "decoder/sync_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"
#include "tests/decoder/sync_test_util.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/reference_sync.h"

namespace morvix {
namespace {

using test::feed;
using test::sample_index;
using test::sync_bits;

// Both builds of the scan where the CPU has the wide one.
std::vector<bool> scan_builds() {
  if (sync_scan_wide_available()) return {false, true};
  return {false};
}

// Feeds `stream` piece by piece to the search, the step-by-step reference and
// the per-phase register search, runs all three until they need input, and
// checks that every call agrees: result, positions, unread bytes. Pieces are
// 1 .. max_chunk bytes; the ring positions begin at byte start; with skip_ahead,
// some matches are followed by a skip ahead, as after a good frame. Adds the
// stream sample of each sync word found to hits.
void search_agrees(const gen::Bytes& stream, int sps, bool wide, std::mt19937& rng,
                   std::vector<long>& hits, int max_chunk = 700, int start = 0,
                   bool skip_ahead = false) {
  Decoder fast, ref, regs;
  auto registers = std::make_unique<test::PhaseRegisters>();
  for (Decoder* x : {&fast, &ref, &regs}) {
    decoder_setup(*x, sps, 0, nullptr);
    x->ring.bwrp = x->ring.brdp = start;
  }
  fast.sync.sync_wide = wide;
  size_t sent = 0;
  while (sent < stream.size()) {
    const int chunk =
        static_cast<int>(std::min<size_t>(1 + rng() % max_chunk, stream.size() - sent));
    const int took = ring_write(fast.ring, stream.data() + sent, chunk);
    for (Decoder* x : {&ref, &regs})
      ASSERT_EQ(ring_write(x->ring, stream.data() + sent, chunk), took);
    sent += static_cast<size_t>(took);
    SCOPED_TRACE(::testing::Message() << "sps " << sps << (wide ? " wide" : "") << " at " << sent);
    for (;;) {
      const int got = get_frame_id(fast.ring, fast.sync);
      ASSERT_EQ(got, test::get_frame_id_reference(ref));
      ASSERT_EQ(got, test::get_frame_id_registers(regs, *registers));
      for (Decoder* x : {&ref, &regs}) {
        ASSERT_EQ(fast.ring.brdp, x->ring.brdp);
        ASSERT_EQ(fast.ring.brdb, x->ring.brdb);
        ASSERT_EQ(fast.ring.brx_count, x->ring.brx_count);
      }
      if (got == 0) break;
      ASSERT_EQ(fast.ring.bbp, ref.ring.bbp);
      ASSERT_EQ(fast.ring.bbb, ref.ring.bbb);
      hits.push_back(8 * (static_cast<long>(sent) - fast.ring.brx_count) + 7 - fast.ring.brdb);
      if (skip_ahead && rng() % 3 == 0) {
        const int skip =
            static_cast<int>(rng() % static_cast<unsigned>(fast.ring.brx_count / 2 + 1));
        for (Decoder* x : {&fast, &ref, &regs}) {
          x->ring.brdp = (x->ring.brdp + skip) % x->ring.ring_bytes;
          x->ring.brx_count -= skip;
        }
      }
    }
  }
}

// The search must make exactly the references' attempts: same results,
// same positions, also across short reads, rejected and skipped frames.
TEST(SyncSearch, AgreesWithTheReferenceOverLongRandomStreams) {
  for (int sps = 1; sps <= 32; sps = sps == 16 ? 32 : sps + 1) {
    std::mt19937 rng(1000u + static_cast<unsigned>(sps));
    gen::SampleWriter w(sps);
    for (int planted = 0; planted < 60; ++planted) {
      w.add_noise(static_cast<int>(rng() % 3000), rng);
      gen::Bits bits = sync_bits();
      const int wrong = static_cast<int>(rng() % 8);  // near misses at 5 and 6 too
      for (int i = 0; i < wrong; ++i) bits[rng() % 40] ^= 1;
      w.add_line_bits(bits);
    }
    w.add_noise(5000, rng);
    const gen::Bytes stream = w.take();
    for (bool wide : scan_builds()) {
      std::vector<long> hits;
      search_agrees(stream, sps, wide, rng, hits, 700, 0, true);
      EXPECT_GT(hits.size(), 30u) << sps;
    }
  }
}

// A word of the scan covers 128 or 256 sample positions from the byte where
// the search stands; a sync word must be found at each of them, also when
// the input arrives a few bytes at a time.
TEST(SyncSearch, FindsASyncWordAtEveryPositionOfAWord) {
  for (int sps : {1, 10, 13}) {
    for (long offset = 1; offset <= 2 * 256 + 8; ++offset) {
      std::mt19937 rng(static_cast<unsigned>(offset));
      gen::SampleWriter w(sps);
      w.add_idle(offset);
      w.add_line_bits(sync_bits({static_cast<int>(offset % 40)}));
      w.add_idle(sps * 42 + 300);
      const gen::Bytes stream = w.take();
      for (bool wide : scan_builds()) {
        std::vector<long> hits;
        search_agrees(stream, sps, wide, rng, hits, offset % 2 ? 700 : 6);
        ASSERT_FALSE(hits.empty()) << sps << " " << offset;
        EXPECT_EQ(hits[0], offset) << sps << " " << offset;
      }
    }
  }
}

// Short ranges, first and last in one byte or a few apart (as the improved
// reading asks for at the input's start): never an attempt outside them.
TEST(SyncSearch, ShortRangesReturnTheFirstAttemptWithinThem) {
  std::mt19937 rng(4242);  // fixed seed
  for (int sps : {1, 3, 10}) {
    gen::SampleWriter w(sps);
    for (int i = 0; i < 6; ++i) {
      w.add_line_bits(sync_bits({i, 2 * i + 1}));
      w.add_noise(rng() % 13, rng);
    }
    w.add_idle(sps * 42 + 300);
    const gen::Bytes stream = w.take();
    const long attempts = static_cast<long>(stream.size() - 300 / 8) * 8 - 42L * sps;
    for (int max_wrong : {kMaxSyncWrongBits, kMaxCandidateWrongBits}) {
      std::vector<int> wrong(static_cast<size_t>(attempts));
      for (long a = 0; a < attempts; ++a) {
        for (int j = 0; j < kSyncBits; ++j) {
          const long n = a + static_cast<long>(j) * sps;
          const int sample = (stream[static_cast<size_t>(n / 8)] >> (7 - n % 8)) & 1;
          wrong[static_cast<size_t>(a)] += (1 - sample) != sync_bits()[static_cast<size_t>(j)];
        }
      }
      for (long first = 0; first < 64; ++first) {
        for (long last = first; last < first + 12 && last < attempts; ++last) {
          long expected = -1;
          for (long a = first; a <= last && expected < 0; ++a) {
            if (wrong[static_cast<size_t>(a)] <= max_wrong) expected = a;
          }
          for (bool wide : scan_builds()) {
            ASSERT_EQ(scan_for_sync(stream.data(), first, last, sps, wide, max_wrong), expected)
                << "sps " << sps << " first " << first << " last " << last << " wide " << wide;
          }
        }
      }
    }
  }
}

// Sync words that straddle the ring's end on three passes round the ring,
// so the bytes past its end must show each pass's start, not an old one.
TEST(SyncSearch, FindsSyncWordsAcrossTheRingEndOnEveryPass) {
  for (int sps : {1, 10, 32}) {
    std::mt19937 rng(77u + static_cast<unsigned>(sps));
    const long ring_samples = 8L * ring_bytes_for(sps);
    const int start = ring_bytes_for(sps) - 100;
    const long straddle[3] = {5, 20L * sps + 3, 40L * sps - 9};  // samples before the end
    gen::SampleWriter w(sps);
    std::vector<long> planted;
    for (int pass = 0; pass < 3; ++pass) {
      planted.push_back(pass * ring_samples + 800 - straddle[pass]);
      w.add_noise(planted.back() - w.sample_count(), rng);
      w.add_line_bits(sync_bits({pass, 39 - pass}));
    }
    w.add_noise(ring_samples / 2, rng);
    const gen::Bytes stream = w.take();
    for (bool wide : scan_builds()) {
      std::vector<long> hits;
      search_agrees(stream, sps, wide, rng, hits, 3000, start);
      for (long at : planted)
        EXPECT_NE(std::find(hits.begin(), hits.end(), at), hits.end()) << sps << " " << at;
    }
  }
}

// The word holding the last attempt is loaded whole: samples past the write
// position, here the stream's own next bytes left from an earlier pass, must
// not count before they arrive.
TEST(SyncSearch, IgnoresOldSamplesPastTheWritePosition) {
  for (bool wide : scan_builds()) {
    Decoder d;
    decoder_setup(d, 10, 0, nullptr);
    d.sync.sync_wide = wide;
    gen::SampleWriter w(10);
    w.add_idle(100);
    w.add_line_bits(sync_bits());
    w.add_idle(10 * 60);
    const gen::Bytes stream = w.take();
    std::memcpy(d.ring.rxbits.get(), stream.data(), stream.size());
    feed(d.ring, gen::Bytes(stream.begin(), stream.begin() + 60));  // attempts up to sample 72
    EXPECT_EQ(get_frame_id(d.ring, d.sync), 0) << wide;
    feed(d.ring, gen::Bytes(stream.begin() + 60, stream.end()));
    EXPECT_EQ(get_frame_id(d.ring, d.sync), 1) << wide;
    EXPECT_EQ(sample_index(d.ring.brdp, d.ring.brdb), 100) << wide;
  }
}
}  // namespace
}  // namespace morvix
