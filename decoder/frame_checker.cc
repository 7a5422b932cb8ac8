#include "decoder/frame_checker.h"

#include "decoder/block_decoder.h"
#include "decoder/crc.h"
#include "decoder/frame_format.h"
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

}  // namespace

int get_data_frame(Decoder& d) {
  d.need_input = false;
  switch (d.df_state) {
    case DfState::kSearching:
      if (get_frame_id(d)) {
        note_sync_word(d);
        d.df_state = DfState::kHeaderBlock;
      }
      return 0;
    case DfState::kHeaderBlock: {
      const int got = get_block(d);
      if (got == 0) return 0;
      if (got < 0 || !header_good(d.frame)) {
        note_rejected(d, got < 0 ? Rejection::kUncorrectable : Rejection::kHeader);
        d.df_state = DfState::kSearching;
        return 0;
      }
      d.df_blocks_to_read = d.frame[kBlocksByte] - 1;
      d.df_state = DfState::kRemainingBlocks;
      return 0;
    }
    case DfState::kRemainingBlocks: {
      const int got = get_block(d);
      if (got == 0) return 0;
      if (got < 0) {
        note_rejected(d, Rejection::kUncorrectable);
        d.df_state = DfState::kSearching;
        return 0;
      }
      if (--d.df_blocks_to_read != 0) return 0;
      d.df_state = DfState::kSearching;
      const int payload =
          frame_length(d.frame[kFillBitsByte], d.frame[kBlocksByte]) - kFrameOverheadBytes;
      if (payload <= 0) {
        note_rejected(d, Rejection::kHeader);  // F and B leave no payload
        return 0;
      }
      if (!crc_matches(d.frame + kHeaderBytes, payload, d.frame + kHeaderBytes + payload)) {
        note_rejected(d, Rejection::kFrameCrc);
        return 0;
      }
      skip_blocks(d, d.frame[kBlocksByte]);
      d.framelen = payload + kFrameOverheadBytes;
      note_frame(d);
      return 1;
    }
    default:
      // Not a state: start over with a search rather than read blocks.
      d.df_state = DfState::kSearching;
      return 0;
  }
}

int next_frame(Decoder& d) {
  while (!get_data_frame(d)) {
    if (d.need_input) return 0;
  }
  return 1;
}

}  // namespace morvix
