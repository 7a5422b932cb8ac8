// SPDX-License-Identifier: Apache-2.0
#include "decoder/decoder_stats.h"

#include "decoder/decoder.h"
#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"

namespace morvix {

void note_sync_word(Decoder& d, int ahead, bool count) {
  // Counted again here rather than in the search, which keeps its inner
  // loop to the bare comparison; this runs once per sync word.
  int wrong = 0;
  const int skipped = 7 - d.ring.brdb + ahead;
  int byte = (d.ring.brdp + skipped / 8) % d.ring.ring_bytes;
  int bit = 7 - skipped % 8;
  for (int j = 0; j < kSyncBits; ++j) {
    const int line_bit = 1 - read_sample(d.ring, byte, bit);
    wrong += line_bit != d.sync.match_table[j];
    step_line_bit(d.ring, byte, bit);
  }
  if (wrong > kMaxSyncWrongBits) wrong = kMaxSyncWrongBits;

  FrameQuality& q = d.quality;
  q = FrameQuality{};
  // The ring's bytes before brdp that have been given up, plus the bits of
  // brdp already passed.
  const int64_t byte_index = d.ring.bytes_in - d.ring.brx_count;
  q.sample = byte_index * 8 + (7 - d.ring.brdb) + ahead;
  q.sync_wrong_bits = wrong;
  q.phase = static_cast<int>(q.sample % d.ring.sps);
  q.retry = q.sample < d.stats.retry_until;
  q.counted = false;
  if (count) note_sync_counted(d);
}

void note_sync_counted(Decoder& d) {
  FrameQuality& q = d.quality;
  if (q.counted) return;
  q.counted = true;
  if (q.retry) return;
  settle_rejection(d);
  ++d.stats.sync_words;
  ++d.stats.sync_wrong_bits[q.sync_wrong_bits];
}

void note_block(Decoder& d, int corrected) {
  FrameQuality& q = d.quality;
  if (corrected < 0) corrected = 0;
  if (corrected > kMaxBlockCorrections) corrected = kMaxBlockCorrections;
  if (q.blocks < kMaxFrameBlocks) q.corrected[q.blocks] = static_cast<unsigned char>(corrected);
  ++q.blocks;
  q.corrected_total += corrected;
}

void note_soft_place(Decoder& d) {
  FrameQuality& q = d.quality;
  const int64_t at = q.sample - d.soft.ahead + d.soft.place;
  q.phase = static_cast<int>(((at % d.ring.sps) + d.ring.sps) % d.ring.sps);
}

void note_reading_again(Decoder& d) {
  FrameQuality& q = d.quality;
  q.blocks = 0;
  q.corrected_total = 0;
  q.phase = static_cast<int>(q.sample % d.ring.sps);
}

int rejection_stage(Rejection why, int blocks) {
  switch (why) {
    case Rejection::kHeader:
      return 1;
    case Rejection::kUncorrectable:
      return 2 * blocks;  // 0: the header block itself
    case Rejection::kFrameCrc:
    default:
      return 2 * kMaxFrameBlocks + 1;
  }
}

namespace {

// Keeps the furthest of the frame's failed readings.
void note_failure(DecoderStats& s, Rejection why, int blocks) {
  const int stage = rejection_stage(why, blocks);
  if (s.pending_rejection >= 0 && stage <= s.pending_stage) return;
  s.pending_rejection = static_cast<int>(why);
  s.pending_stage = stage;
}

}  // namespace

void note_reading_failed(Decoder& d, Rejection why) {
  note_failure(d.stats, why, d.quality.blocks);
  note_reading_again(d);
}

void note_rejected(Decoder& d, Rejection why) {
  const FrameQuality& q = d.quality;
  if (!q.counted) return;  // a sync word only the improved reading heard, and its header failed
  note_failure(d.stats, why, q.blocks);
  // Readings at the following phases of the same sync word are retries; the
  // frame counts as rejected only when none of them decodes it.
  if (!q.retry) d.stats.retry_until = q.sample + d.ring.sps;
}

void note_search_moved(Decoder& d) {
  if (d.stats.pending_rejection < 0) return;
  // With -a the search stands the improved reading's lookback before the
  // sync words it tries.
  const int64_t at = (d.ring.bytes_in - d.ring.brx_count) * 8 + (7 - d.ring.brdb) +
                     (d.improved_reading ? d.soft.lookback : 0);
  if (at >= d.stats.retry_until) settle_rejection(d);
}

void settle_rejection(Decoder& d) {
  DecoderStats& s = d.stats;
  switch (s.pending_rejection) {
    case static_cast<int>(Rejection::kHeader):
      ++s.rejected_header;
      break;
    case static_cast<int>(Rejection::kFrameCrc):
      ++s.rejected_frame_crc;
      break;
    case static_cast<int>(Rejection::kUncorrectable):
      ++s.rejected_uncorrectable;
      break;
    default:
      break;
  }
  s.pending_rejection = -1;
  s.pending_stage = -1;
}

void note_frame(Decoder& d) {
  const FrameQuality& q = d.quality;
  // Failed readings of this frame (at earlier phases, or its soft
  // reading) count for nothing now that one decoded it.
  d.stats.pending_rejection = -1;
  d.stats.pending_stage = -1;
  ++d.stats.frames_decoded;
  if (q.soft.read) ++d.stats.frames_improved;
  ++d.stats.decoded_sync_wrong_bits[q.sync_wrong_bits];
  d.stats.symbols_corrected += q.corrected_total;
  for (int b = 0; b < q.blocks && b < kMaxFrameBlocks; ++b) {
    ++d.stats.blocks_by_corrections[q.corrected[b]];
  }
}

}  // namespace morvix
