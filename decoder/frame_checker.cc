// SPDX-License-Identifier: Apache-2.0
#include "decoder/frame_checker.h"

#include "decoder/block_decoder.h"
#include "decoder/crc.h"
#include "decoder/frame_format.h"
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
  const long samples = static_cast<long>(blocks) * kBlockBits * d.sps;
  const int whole = static_cast<int>(samples / 8);
  d.brdb -= static_cast<int>(samples % 8);
  if (d.brdb < 0) {
    d.brdb += 8;
    if (++d.brdp == d.ring_bytes) d.brdp = 0;
    --d.brx_count;
  }
  d.brdp = (d.brdp + whole) % d.ring_bytes;
  d.brx_count -= whole;
}

// The soft reading when this frame has one, else the literal one.
int read_block(Decoder& d) { return d.soft.reading ? get_block_soft(d) : get_block(d); }

// A failed soft reading hands the frame to the literal reading (or the
// search, soft_give_up); a failed literal reading counts the frame rejected
// and sends the search on from the next sample.
void reject(Decoder& d, Rejection why) {
  if (d.soft.reading) {
    soft_give_up(d, why);
  } else {
    note_rejected(d, why);
    d.df_state = DfState::kSearching;
  }
}

}  // namespace

int get_data_frame(Decoder& d) {
  d.need_input = false;
  switch (d.df_state) {
    case DfState::kSearching:
      if (d.soft_reading ? search_soft(d) : get_frame_id(d)) {
        note_sync_word(d, d.soft_reading ? d.soft.ahead : 0, !d.soft.reading || d.soft.literal);
        if (d.soft.reading) note_soft_place(d);
        d.df_state = DfState::kHeaderBlock;
      } else {
        note_search_moved(d);
      }
      return 0;
    case DfState::kHeaderBlock: {
      const int got = read_block(d);
      if (got == 0) return 0;
      if (got < 0 || !header_good(d.frame)) {
        reject(d, got < 0 ? Rejection::kUncorrectable : Rejection::kHeader);
        return 0;
      }
      if (d.soft_reading) soft_header_passed(d);
      note_sync_counted(d);
      d.df_blocks_to_read = d.frame[kBlocksByte] - 1;
      d.df_state = DfState::kRemainingBlocks;
      return 0;
    }
    case DfState::kRemainingBlocks: {
      const int got = read_block(d);
      if (got == 0) return 0;
      if (got < 0) {
        reject(d, Rejection::kUncorrectable);
        return 0;
      }
      if (--d.df_blocks_to_read != 0) return 0;
      const int payload =
          frame_length(d.frame[kFillBitsByte], d.frame[kBlocksByte]) - kFrameOverheadBytes;
      if (payload <= 0) {
        reject(d, Rejection::kHeader);  // F and B leave no payload
        return 0;
      }
      if (!crc_matches(d.frame + kHeaderBytes, payload, d.frame + kHeaderBytes + payload)) {
        reject(d, Rejection::kFrameCrc);
        return 0;
      }
      d.df_state = DfState::kSearching;
      if (d.soft.reading) soft_frame_done(d);
      skip_blocks(d, d.frame[kBlocksByte]);
      d.framelen = payload + kFrameOverheadBytes;
      note_frame(d);
      return 1;
    }
    default:
      // Not a state: start over with a search rather than read blocks.
      d.df_state = DfState::kSearching;
      d.soft.reading = false;
      return 0;
  }
}

int next_frame(Decoder& d) {
  while (!get_data_frame(d)) {
    if (d.need_input) return 0;
  }
  return 1;
}

bool reading_ahead(const Decoder& d) { return soft_waiting(d); }

void input_paused(Decoder& d) { soft_input_paused(d); }

}  // namespace morvix
