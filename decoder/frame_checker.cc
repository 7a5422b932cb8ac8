// SPDX-License-Identifier: Apache-2.0
#include "decoder/frame_checker.h"

#include "decoder/block_decoder.h"
#include "decoder/crc.h"
#include "decoder/frame_format.h"
#include "decoder/retry_skip.h"
#include "decoder/sample_ring.h"
#include "decoder/soft_frame.h"
#include "decoder/sync_search.h"

namespace morvix {

namespace {

bool header_good(const unsigned char* frame) {
  return crc_matches(frame, kHeaderCrcCovers, frame + kHeaderCrcCovers) &&
         header_in_range(frame[kFillBitsByte], frame[kBlocksByte]);
}

// Moves the search position over the frame's blocks (not its sync word),
// so the next search starts 40 line bits before the frame's end.
void skip_blocks(Decoder& d, int blocks) {
  const long samples = static_cast<long>(blocks) * kBlockBits * d.ring.sps;
  const int whole = static_cast<int>(samples / 8);
  d.ring.brdb -= static_cast<int>(samples % 8);
  if (d.ring.brdb < 0) {
    d.ring.brdb += 8;
    if (++d.ring.brdp == d.ring.ring_bytes) d.ring.brdp = 0;
    --d.ring.brx_count;
  }
  d.ring.brdp = (d.ring.brdp + whole) % d.ring.ring_bytes;
  d.ring.brx_count -= whole;
}

// The improved reading when this frame has one, else the literal one.
int read_block(Decoder& d) { return d.soft.reading ? get_block_soft(d) : get_block(d); }

// A failed improved reading hands the frame to the literal reading (or the
// search, soft_give_up); a failed literal reading counts the frame rejected
// and sends the search on from the next sample.
void reject(Decoder& d, Rejection why) {
  if (d.soft.reading) {
    soft_give_up(d, why);
  } else {
    note_rejected(d, why);
    d.checker.df_state = DfState::kSearching;
    skip_identical_retries(d);
  }
}

// One step of get_data_frame, without its top-ups.
int data_frame_step(Decoder& d) {
  switch (d.checker.df_state) {
    case DfState::kSearching:
      if (d.improved_reading ? search_soft(d) : get_frame_id(d)) {
        note_sync_word(d, d.improved_reading ? d.soft.ahead : 0, !d.soft.reading || d.soft.literal);
        if (d.soft.reading) note_soft_place(d);
        d.checker.df_state = DfState::kHeaderBlock;
      } else {
        note_search_moved(d);
      }
      return 0;
    case DfState::kHeaderBlock: {
      const int got = read_block(d);
      if (got == 0) return 0;
      if (got < 0 || !header_good(d.block.frame)) {
        reject(d, got < 0 ? Rejection::kUncorrectable : Rejection::kHeader);
        return 0;
      }
      note_sync_counted(d);
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
      if (d.soft.reading) soft_frame_done(d);
      skip_blocks(d, d.block.frame[kBlocksByte]);
      d.checker.framelen = payload + kFrameOverheadBytes;
      note_frame(d);
      return 1;
    }
    default:
      // Not a state: start over with a search rather than read blocks.
      d.checker.df_state = DfState::kSearching;
      d.soft.reading = false;
      return 0;
  }
}

}  // namespace

int get_data_frame(Decoder& d) {
  d.ring.need_input = false;
  // The step sees all the input that has come, whichever part of it reads.
  if (d.ring.brx_count < d.ring.ring_bytes) get_more_samples(d);
  const int got = data_frame_step(d);
  // A step that asks for input may first have made room for input that is
  // waiting (a search moves on): taken now, it is the next step's, and the
  // caller waits only for samples that have not been sent.
  if (d.ring.need_input && d.ring.brx_count < d.ring.ring_bytes) {
    const int64_t before = d.ring.bytes_in;
    get_more_samples(d);
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

void input_ended(Decoder& d) { soft_input_ended(d); }

}  // namespace morvix
