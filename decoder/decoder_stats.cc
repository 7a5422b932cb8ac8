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
  const int skipped = 7 - d.brdb + ahead;
  int byte = (d.brdp + skipped / 8) % d.ring_bytes;
  int bit = 7 - skipped % 8;
  for (int j = 0; j < kSyncBits; ++j) {
    const int line_bit = 1 - read_sample(d, byte, bit);
    wrong += line_bit != d.match_table[j];
    step_line_bit(d, byte, bit);
  }
  if (wrong > kMaxSyncWrongBits) wrong = kMaxSyncWrongBits;

  FrameQuality& q = d.quality;
  q = FrameQuality{};
  // The ring's bytes before brdp that have been given up, plus the bits of
  // brdp already passed.
  const int64_t byte_index = d.bytes_in - d.brx_count;
  q.sample = byte_index * 8 + (7 - d.brdb) + ahead;
  q.sync_wrong_bits = wrong;
  q.phase = static_cast<int>(q.sample % d.sps);
  q.retry = q.sample < d.stats.retry_until;
  q.counted = false;
  if (count) note_sync_counted(d);
}

void note_sync_counted(Decoder& d) {
  FrameQuality& q = d.quality;
  if (q.counted || q.retry) return;
  q.counted = true;
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
  q.phase = static_cast<int>(((at % d.sps) + d.sps) % d.sps);
}

void note_reading_again(Decoder& d) {
  FrameQuality& q = d.quality;
  q.blocks = 0;
  q.corrected_total = 0;
  q.phase = static_cast<int>(q.sample % d.sps);
}

void note_rejected(Decoder& d, Rejection why) {
  const FrameQuality& q = d.quality;
  if (q.retry || !q.counted) return;
  settle_rejection(d);
  // Readings at the following phases of the same sync word are retries; the
  // frame counts as rejected only when none of them decodes it.
  d.stats.retry_until = q.sample + d.sps;
  d.stats.pending_rejection = static_cast<int>(why);
}

void note_search_moved(Decoder& d) {
  if (d.stats.pending_rejection < 0) return;
  const int64_t at = (d.bytes_in - d.brx_count) * 8 + (7 - d.brdb);
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
}

void note_frame(Decoder& d) {
  const FrameQuality& q = d.quality;
  if (q.retry) d.stats.pending_rejection = -1;  // a later phase decoded it after all
  ++d.stats.frames_decoded;
  d.stats.symbols_corrected += q.corrected_total;
  for (int b = 0; b < q.blocks && b < kMaxFrameBlocks; ++b) {
    ++d.stats.blocks_by_corrections[q.corrected[b]];
  }
}

}  // namespace morvix
