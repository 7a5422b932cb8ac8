#include "decoder/sync_search.h"

#include <gtest/gtest.h>

#include <random>

#include "decoder/sample_ring.h"
#include "tests/support/reference_sync.h"
#include "tools/signal_gen.h"

namespace morvix {
namespace {

gen::Bits sync_bits(std::initializer_list<int> wrong = {}) {
  gen::Bits bits;
  for (unsigned char byte : kSyncWord)
    for (int b = 7; b >= 0; --b) bits.push_back(static_cast<uint8_t>((byte >> b) & 1));
  for (int i : wrong) bits[static_cast<size_t>(i)] ^= 1;
  return bits;
}

// Sample index of (byte, bit) counted from sample 0 at byte 0 bit 7.
long sample_index(int byte, int bit) { return byte * 8L + (7 - bit); }

void feed(Decoder& d, const gen::Bytes& bytes) {
  ASSERT_EQ(ring_write(d, bytes.data(), static_cast<int>(bytes.size())),
            static_cast<int>(bytes.size()));
}

TEST(SyncSearchTables, MatchTheDefaultStepTables) {
  Decoder d;
  decoder_setup(d, 10, 0, nullptr);
  EXPECT_EQ(d.minmatchbytes, 52);
  const int bbytes[8] = {2, 2, 1, 1, 1, 1, 1, 1};
  const int bbnext[8] = {6, 7, 0, 1, 2, 3, 4, 5};
  for (int p = 0; p < 8; ++p) {
    EXPECT_EQ(d.bbytes[p], bbytes[p]);
    EXPECT_EQ(d.bbnext[p], bbnext[p]);
  }
  EXPECT_EQ(d.match_table[5], 1);
  EXPECT_EQ(d.match_table[4], 0);
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
  feed(d, bytes);
  ASSERT_EQ(get_frame_id(d), 1);
  EXPECT_EQ(d.brdp, 1);
  EXPECT_EQ(d.brdb, 7);
  EXPECT_EQ(d.bbp, 41);  // the byte after the 40 sync bytes
  EXPECT_EQ(d.bbb, 7);
}

TEST(SyncSearch, AcceptsFiveWrongBitsAndRefusesSix) {
  for (int wrong : {5, 6}) {
    Decoder d;
    decoder_setup(d, 10, 0, nullptr);
    gen::SampleWriter w(10);
    w.add_idle(13);
    w.add_line_bits(wrong == 5 ? sync_bits({0, 9, 17, 30, 39}) : sync_bits({0, 9, 17, 30, 39, 22}));
    w.add_idle(10 * 100);
    feed(d, w.take());
    EXPECT_EQ(get_frame_id(d), wrong == 5 ? 1 : 0) << wrong;
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
      feed(d, w.take());
      ASSERT_EQ(get_frame_id(d), 1) << sps << " " << offset;
      EXPECT_EQ(sample_index(d.brdp, d.brdb), offset) << sps << " " << offset;
      EXPECT_EQ(sample_index(d.bbp, d.bbb), offset + 40L * sps);
      // A rejected frame: the same word matches again one sample later, at
      // every phase of its first bit, and then no more.
      for (int phase = 1; phase < sps; ++phase) {
        ASSERT_EQ(get_frame_id(d), 1);
        EXPECT_EQ(sample_index(d.brdp, d.brdb), offset + phase);
      }
      EXPECT_EQ(get_frame_id(d), 0);
    }
  }
}

TEST(SyncSearch, FindsASyncWordThatRunsAcrossTheRingEnd) {
  Decoder d;
  decoder_setup(d, 10, 0, nullptr);
  // Walk the ring positions close to its end, as a long-running search would.
  const int start = kRingBytes - 20;
  d.bwrp = d.brdp = start;
  d.brdb = 7;
  gen::SampleWriter w(10);
  w.add_idle(8 * 10 + 3);
  w.add_line_bits(sync_bits());
  w.add_idle(10 * 60);
  feed(d, w.take());
  ASSERT_EQ(get_frame_id(d), 1);
  EXPECT_EQ(d.brdp, start + 10);
  EXPECT_EQ(d.brdb, 7 - 3);
  EXPECT_LT(d.bbp, start);  // the block begins after the wrap
}

TEST(SyncSearch, NeedsMinmatchbytesUnreadBytes) {
  for (int extra : {0, -1}) {
    Decoder d;
    decoder_setup(d, 10, 0, nullptr);
    const gen::Bytes noise(static_cast<size_t>(d.minmatchbytes + extra), 0x55);
    feed(d, noise);
    EXPECT_EQ(get_frame_id(d), 0);
    // Attempts go on through the first byte until the count drops below the
    // minimum; with one byte less none is made.
    EXPECT_EQ(d.brdp, extra == 0 ? 1 : 0) << extra;
    EXPECT_EQ(d.brdb, 7) << extra;
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
  feed(d, gen::Bytes(bytes.begin(), bytes.begin() + 5));
  EXPECT_EQ(get_frame_id(d), 0);
  EXPECT_EQ(sample_index(d.brdp, d.brdb), 0);  // nothing tried, nothing moved
  feed(d, gen::Bytes(bytes.begin() + 5, bytes.end()));
  EXPECT_EQ(get_frame_id(d), 1);
  EXPECT_EQ(sample_index(d.brdp, d.brdb), 1);
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
  feed(d, w.take());
  EXPECT_EQ(get_frame_id(d), 0);
}

// The fast search must make exactly the reference's attempts: same results,
// same positions, also across short reads, rejected and skipped frames.
TEST(SyncSearch, AgreesWithTheReferenceOverLongRandomStreams) {
  for (int sps = 1; sps <= 16; ++sps) {
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

    Decoder fast;
    Decoder ref;
    decoder_setup(fast, sps, 0, nullptr);
    decoder_setup(ref, sps, 0, nullptr);
    size_t sent = 0;
    int found = 0;
    while (sent < stream.size()) {
      const int chunk = static_cast<int>(std::min<size_t>(1 + rng() % 700, stream.size() - sent));
      const int took_fast = ring_write(fast, stream.data() + sent, chunk);
      ASSERT_EQ(ring_write(ref, stream.data() + sent, chunk), took_fast);
      sent += static_cast<size_t>(took_fast);
      for (;;) {
        const int a = get_frame_id(fast);
        const int b = test::get_frame_id_reference(ref);
        ASSERT_EQ(a, b) << "sps " << sps << " at " << sent;
        ASSERT_EQ(fast.brdp, ref.brdp);
        ASSERT_EQ(fast.brdb, ref.brdb);
        ASSERT_EQ(fast.brx_count, ref.brx_count);
        if (a == 0) break;
        ++found;
        ASSERT_EQ(fast.bbp, ref.bbp);
        ASSERT_EQ(fast.bbb, ref.bbb);
        if (rng() % 3 == 0) {
          // As after a good frame: both skip ahead by the same samples.
          const int skip = static_cast<int>(rng() % static_cast<unsigned>(fast.brx_count / 2 + 1));
          for (Decoder* x : {&fast, &ref}) {
            x->brdp = (x->brdp + skip) % x->ring_bytes;
            x->brx_count -= skip;
          }
        }
      }
    }
    EXPECT_GT(found, 30) << sps;
  }
}

}  // namespace
}  // namespace morvix
