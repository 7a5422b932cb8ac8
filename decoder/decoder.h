// SPDX-License-Identifier: Apache-2.0
// The frame decoder's state, one struct per job: the sample ring with its
// positions (decoder/sample_ring.h), the sync search's tables
// (sync_search.h), the frame being assembled (block_decoder.h), the frame
// checker's state, the improved reading (soft/soft_reader.h) and the
// counters (decoder_stats.h). The frame checker (frame_checker.h) steps it.
#pragma once

#include "decoder/block_decoder.h"
#include "decoder/decoder_stats.h"
#include "decoder/frame_format.h"
#include "decoder/sample_ring.h"
#include "decoder/soft/soft_reader.h"
#include "decoder/sync_search.h"
#include "fec/init_rs.h"

namespace morvix {

// What the next get_data_frame call does.
enum class DfState {
  kSearching,        // look for a sync word
  kHeaderBlock,      // read and check the first block, which holds the header
  kRemainingBlocks,  // read the frame's other blocks, then check the frame CRC
};

// The frame checker's state machine (frame_checker).
struct FrameChecker {
  DfState df_state = DfState::kSearching;
  int df_blocks_to_read = 0;  // blocks of the frame still to read after the header block
  int framelen = 0;           // length of the frame reported, bytes
  bool skip_retries = true;   // decoder/retry_skip.h; tests turn it off to show it changes nothing
};

// The decoder: one plain struct per job. One instance lives as long as the
// daemon; tests build fresh ones.
struct Decoder {
  SampleRing ring;
  SyncTables sync;
  BlockAssembly block;
  FrameChecker checker;

  // The improved reading, -a: a sync word whose soft values correlate with
  // it is read softly first; when that fails, the literal reading above
  // takes over.
  int improved_reading = 0;  // -a: 1 tries the improved reading on every sync word
  SoftReader soft;

  DecoderStats stats;
  FrameQuality quality;  // of the frame in block.frame
};

// Start-up of the decoder for sps (1 .. kMaxSps) samples per line bit: sizes
// and allocates the ring and the improved reading's tables (the only
// allocations), builds the sync and step tables, sets every position and
// state to its start value (improved_reading, the mode, and the input
// socket stay as they are). rs may be null only when fec is 0.
void decoder_setup(Decoder& d, int sps, int fec, const rs_codec* rs);

}  // namespace morvix
