// SPDX-License-Identifier: Apache-2.0
#include "decoder/frame_checker.h"

#include "decoder/crc.h"
#include "decoder/retry_skip.h"

namespace morvix {

namespace {

bool header_good(const unsigned char* frame) {
  return crc_matches(frame, kHeaderCrcCovers, frame + kHeaderCrcCovers) &&
         header_in_range(frame[kFillBitsByte], frame[kBlocksByte]);
}

// Samples from the search position to the sync word at hand: the improved
// reading's search stands behind it.
long sync_ahead(const Decoder& d) { return d.improved_reading ? d.soft.search.ahead : 0; }

// The improved reading when this frame has one, else the literal one.
int read_block(Decoder& d) {
  return reads_softly(d.soft) ? get_block_soft(d.soft, d.ring, d.block, d.quality)
                              : get_block(d.ring, d.block, d.quality);
}

// A failed improved reading hands the frame to the literal reading, when
// its sync word is the literal reading's too; otherwise the frame counts
// as rejected and the search goes on from the next sample, after a literal
// reading past the retries that would read just what it read.
void reject(Decoder& d, Rejection why) {
  const bool softly = reads_softly(d.soft);
  if (softly && soft_failed(d.soft)) {
    start_frame(d.block);
    d.checker.df_state = DfState::kHeaderBlock;
    note_reading_again(d.quality, d.ring.sps);
    return;
  }
  note_rejected(d.stats, d.quality, why, d.ring.sps);
  d.checker.df_state = DfState::kSearching;
  if (!softly && d.checker.skip_retries) {
    // Only retries (before retry_until) are read literally alone; later
    // phases are a new sync word, which the improved reading may read.
    skip_identical_retries(d.ring, d.stats.retry_until - 1 - d.quality.sample, sync_ahead(d));
  }
}

// The search moved on without a sync word.
void search_moved(Decoder& d) {
  // With -a the search stands the improved reading's lookback before the
  // sync words it tries.
  const long lookback = d.improved_reading ? d.soft.search.lookback : 0;
  note_search_moved(d.stats, search_sample(d.ring) + lookback);
}

// One step of get_data_frame, without its top-ups.
int data_frame_step(Decoder& d) {
  switch (d.checker.df_state) {
    case DfState::kSearching: {
      const bool found =
          d.improved_reading ? search_soft(d.soft, d.ring, d.sync) : get_frame_id(d.ring, d.sync);
      if (!found) {
        search_moved(d);
        return 0;
      }
      start_frame(d.block);
      const long ahead = sync_ahead(d);
      // A sync word the improved reading alone hears counts once its header passes.
      note_sync_word(d.stats, d.quality, d.ring, ahead, d.soft.search.mode != SoftMode::kSoft);
      if (reads_softly(d.soft)) note_soft_place(d.quality, d.soft.judge.place - ahead, d.ring.sps);
      d.checker.df_state = DfState::kHeaderBlock;
      return 0;
    }
    case DfState::kHeaderBlock: {
      const int got = read_block(d);
      if (got == 0) return 0;
      if (got < 0 || !header_good(d.block.frame)) {
        reject(d, got < 0 ? Rejection::kUncorrectable : Rejection::kHeader);
        return 0;
      }
      note_sync_counted(d.stats, d.quality);
      d.checker.df_blocks_to_read = d.block.frame[kBlocksByte] - 1;
      d.checker.df_state = DfState::kRemainingBlocks;
      return 0;
    }
    case DfState::kRemainingBlocks: {
      const int got = read_block(d);
      if (got == 0) return 0;
      if (got < 0) {
        reject(d, Rejection::kUncorrectable);
        return 0;
      }
      if (--d.checker.df_blocks_to_read != 0) return 0;
      const int payload = frame_length(d.block.frame[kFillBitsByte], d.block.frame[kBlocksByte]) -
                          kFrameOverheadBytes;
      if (payload <= 0) {
        reject(d, Rejection::kHeader);  // F and B leave no payload
        return 0;
      }
      if (!crc_matches(d.block.frame + kHeaderBytes, payload,
                       d.block.frame + kHeaderBytes + payload)) {
        reject(d, Rejection::kFrameCrc);
        return 0;
      }
      d.checker.df_state = DfState::kSearching;
      if (reads_softly(d.soft)) soft_frame_done(d.soft, d.ring, d.quality.soft);
      // The next search starts 40 line bits before the frame's end: the
      // search position moves over the frame's blocks, not its sync word.
      move_search(d.ring,
                  7 - d.ring.brdb +
                      static_cast<long>(d.block.frame[kBlocksByte]) * kBlockBits * d.ring.sps);
      d.checker.framelen = payload + kFrameOverheadBytes;
      note_frame(d.stats, d.quality);
      return 1;
    }
    default:
      // Not a state: start over with a search rather than read blocks.
      d.checker.df_state = DfState::kSearching;
      d.soft.search.mode = SoftMode::kNone;
      return 0;
  }
}

}  // namespace

int get_data_frame(Decoder& d) {
  d.ring.need_input = false;
  // The step sees all the input that has come, whichever part of it reads.
  if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d.ring);
  const int got = data_frame_step(d);
  // A step that asks for input may first have made room for input that is
  // waiting (a search moves on): taken now, it is the next step's, and the
  // caller waits only for samples that have not been sent.
  if (d.ring.need_input && d.ring.brx_count < d.ring.ring_bytes) {
    const int64_t before = d.ring.bytes_in;
    get_more_samples(d.ring);
    if (d.ring.bytes_in != before) d.ring.need_input = false;
  }
  return got;
}

int next_frame(Decoder& d) {
  while (!get_data_frame(d)) {
    if (d.ring.need_input) return 0;
  }
  return 1;
}

}  // namespace morvix
