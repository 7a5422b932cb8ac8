// SPDX-License-Identifier: Apache-2.0
// The block decoder: 85 line bits at the block position become 16 symbols
// (decoder/block_layout.h), are corrected when fec is on, and their 12 data
// symbols append 60 bits to the frame, each byte filled least significant
// bit first.
#pragma once

#include "decoder/decoder_stats.h"
#include "decoder/frame_format.h"
#include "decoder/sample_ring.h"
#include "fec/init_rs.h"

namespace morvix {

// The frame being assembled from corrected blocks.
struct BlockAssembly {
  int minblockbytes = 0;               // unread bytes one block needs
  int fec = 1;                         // 1: correct each block with rs; 0: CRCs alone
  const rs_codec* rs = nullptr;        // the link's codec, not owned
  unsigned char frame[kFrameBytes]{};  // the frame being assembled, or the one reported
  int framep = 0;                      // whole bytes in frame so far
  int framebp = 0;                     // bits already in frame[framep], 0..7
};

// Start-up for sps samples per line bit, with correction (fec 1, rs the
// link's codec) or without (fec 0, rs may be null).
void block_setup(BlockAssembly& a, int sps, int fec, const rs_codec* rs);

// Empties the frame for the blocks of a new reading.
inline void start_frame(BlockAssembly& a) {
  a.framep = 0;
  a.framebp = 0;
}

// Reads the block at (bbp, bbb). Returns 1 when its 60 data bits were
// appended to the frame (block position moved 85 line bits on, the block
// noted in q), 0 when its samples have not all arrived yet (nothing changed
// but need_input; try again), -1 when the codec found it uncorrectable
// (nothing appended).
int get_block(SampleRing& r, BlockAssembly& a, FrameQuality& q);

// Appends the 60 bits of data symbols 0 .. 11 (unmasked, corrected) to the
// frame, each frame byte filled least significant bit first.
void append_block_data(BlockAssembly& a, const unsigned char* symbols);

}  // namespace morvix
