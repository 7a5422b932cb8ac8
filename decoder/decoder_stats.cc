// SPDX-License-Identifier: Apache-2.0
#include "decoder/decoder_stats.h"

namespace morvix {

void note_sync_word(DecoderStats& s, FrameQuality& q, const SampleRing& r, long ahead, bool count) {
  // Counted again here rather than in the search, which keeps its inner
  // loop to the bare comparison; this runs once per sync word.
  const int wrong = count_sync_wrong(r, 7 - r.brdb + ahead, kMaxSyncWrongBits);
  q = FrameQuality{};
  q.sample = search_sample(r) + ahead;
  q.sync_wrong_bits = wrong > kMaxSyncWrongBits ? kMaxSyncWrongBits : wrong;
  q.phase = static_cast<int>(q.sample % r.sps);
  q.retry = q.sample < s.retry_until;
  q.counted = false;
  if (count) note_sync_counted(s, q);
}

void note_sync_counted(DecoderStats& s, FrameQuality& q) {
  if (q.counted) return;
  q.counted = true;
  if (q.retry) return;
  settle_rejection(s);
  ++s.sync_words;
  ++s.sync_wrong_bits[q.sync_wrong_bits];
}

void note_block(FrameQuality& q, int corrected) {
  if (corrected < 0) corrected = 0;
  if (corrected > kMaxBlockCorrections) corrected = kMaxBlockCorrections;
  if (q.blocks < kMaxFrameBlocks) q.corrected[q.blocks] = static_cast<unsigned char>(corrected);
  ++q.blocks;
  q.corrected_total += corrected;
}

void note_soft_place(FrameQuality& q, long from_sync, int sps) {
  const int64_t at = q.sample + from_sync;
  q.phase = static_cast<int>(((at % sps) + sps) % sps);
}

void note_reading_again(FrameQuality& q, int sps) {
  q.blocks = 0;
  q.corrected_total = 0;
  q.phase = static_cast<int>(q.sample % sps);
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

void note_rejected(DecoderStats& s, const FrameQuality& q, Rejection why, int sps) {
  if (!q.counted) return;  // a sync word only the improved reading heard, and its header failed
  // The furthest of the frame's failed readings is kept.
  const int stage = rejection_stage(why, q.blocks);
  if (!s.pending_rejection || stage > s.pending_stage) {
    s.pending_rejection = why;
    s.pending_stage = stage;
  }
  // Readings at the following phases of the same sync word are retries; the
  // frame counts as rejected only when none of them decodes it.
  if (!q.retry) s.retry_until = q.sample + sps;
}

void note_search_moved(DecoderStats& s, int64_t at) {
  if (s.pending_rejection && at >= s.retry_until) settle_rejection(s);
}

void settle_rejection(DecoderStats& s) {
  if (s.pending_rejection) {
    switch (*s.pending_rejection) {
      case Rejection::kHeader:
        ++s.rejected_header;
        break;
      case Rejection::kFrameCrc:
        ++s.rejected_frame_crc;
        break;
      case Rejection::kUncorrectable:
        ++s.rejected_uncorrectable;
        break;
    }
  }
  s.pending_rejection.reset();
  s.pending_stage = -1;
}

void note_frame(DecoderStats& s, const FrameQuality& q) {
  // Failed readings of this frame (at earlier phases, or its soft
  // reading) count for nothing now that one decoded it.
  s.pending_rejection.reset();
  s.pending_stage = -1;
  ++s.frames_decoded;
  if (q.soft.read) ++s.frames_improved;
  ++s.decoded_sync_wrong_bits[q.sync_wrong_bits];
  s.symbols_corrected += q.corrected_total;
  for (int b = 0; b < q.blocks && b < kMaxFrameBlocks; ++b) {
    ++s.blocks_by_corrections[q.corrected[b]];
  }
}

}  // namespace morvix
