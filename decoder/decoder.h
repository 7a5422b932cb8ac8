// SPDX-License-Identifier: Apache-2.0
// State of the frame decoder, one struct per job: the sample ring with its
// positions, the sync search tables, the frame being assembled, the frame
// checker, the improved reading and the counters.
//
// The sample stream: eight one-bit samples to a byte, the first in bit 7; a
// sample of 0 stands for a line bit of 1; sps samples to each line bit.
// A frame on the line: 40-bit sync word, then B blocks of 85 line bits.
#pragma once

#include <cstdint>
#include <memory>

#include "decoder/block_layout.h"
#include "decoder/decoder_stats.h"
#include "decoder/frame_format.h"
#include "decoder/soft_reader.h"
#include "fec/init_rs.h"

namespace morvix {

constexpr int kRingBytes = 4781;   // the ring's size at up to 10 samples per bit
constexpr int kInputBytes = 2048;  // largest datagram payload taken from the input
constexpr int kFrameBytes = 320;   // frame buffer, above kMaxFrameBytes
constexpr int kSyncBits = 40;
constexpr int kMaxSps = 1000;
static_assert(kFrameBytes >= kMaxFrameBytes);

// What the next get_data_frame call does.
enum class DfState {
  kSearching,        // look for a sync word
  kHeaderBlock,      // read and check the first block, which holds the header
  kRemainingBlocks,  // read the frame's other blocks, then check the frame CRC
};

// The bitstream input and the sample ring it fills (sample_ring), with the
// positions every reader moves through it.
struct SampleRing {
  SampleRing() = default;
  // It owns the ring and the input socket: a copy would not compile.
  SampleRing(const SampleRing&) = delete;
  SampleRing& operator=(const SampleRing&) = delete;

  int dfd = -1;                       // input socket ("dstream"), -1 when none
  unsigned char ibuf[kInputBytes]{};  // the last datagram received
  int irdlen = 0;                     // its length in bytes
  int irdptr = 0;                     // how much of it is already in the ring

  // The ring, sized once from sps; byte indices run 0 .. ring_bytes - 1.
  std::unique_ptr<unsigned char[]> rxbits;  // the received samples
  int ring_bytes = 0;
  int bwrp = 0;       // where the next input byte is written
  int brdp = 0;       // search position: byte ...
  int brdb = 7;       // ... and bit (7 is the earliest sample of a byte)
  int brx_count = 0;  // bytes from brdp inclusive up to bwrp not yet given up
  int bbp = 0;        // block position: byte ...
  int bbb = 7;        // ... and bit of the next sample read

  int sps = 10;     // samples per line bit
  int bbytes[8]{};  // bytes a position at bit p moves over one line bit
  int bbnext[8]{};  // the bit it lands on

  // The word-parallel scan (sync_scan) loads past the ring's end: the spare
  // bytes there take a copy of the ring's start when it does.
  int sync_mirror_bytes = 0;  // spare bytes after the ring, set from sps

  int64_t bytes_in = 0;     // bytes ever written into the ring
  bool need_input = false;  // the last step stopped for samples that have not arrived
};

// The sync word as the search looks for it (sync_search, sync_scan).
struct SyncTables {
  unsigned char match_bits[5]{};  // the sync word, first line bit in bit 7 of byte 0
  int match_table[kSyncBits]{};   // the same as one line bit (0 or 1) per entry
  int minmatchbytes = 0;          // unread bytes one sync attempt needs (sps * 42 / 8)
  bool sync_wide = false;         // run the scan's AVX2 build (the CPU has it)
};

// The frame being assembled from corrected blocks (block_decoder).
struct BlockAssembly {
  int minblockbytes = 0;               // unread bytes one block needs (sps * 86 / 8)
  int fec = 1;                         // 1: correct each block with rs; 0: CRCs alone
  const rs_codec* rs = nullptr;        // the link's codec, not owned
  unsigned char frame[kFrameBytes]{};  // the frame being assembled, or the one reported
  int framep = 0;                      // whole bytes in frame so far
  int framebp = 0;                     // bits already in frame[framep], 0..7
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

  // The improved reading, -a (soft_reader, soft_frame): a sync word whose soft
  // values correlate with it is read softly first; when that fails, the
  // literal reading above takes over.
  int improved_reading = 0;  // -a: 1 tries the improved reading on every sync word
  SoftReader soft;

  DecoderStats stats;
  FrameQuality quality;  // of the frame in frame
};

// Ring bytes needed to hold the longest frame at sps samples per line bit,
// never fewer than kRingBytes.
int ring_bytes_for(int sps);

// Start-up of the decoder for sps (1 .. kMaxSps) samples per line bit: sizes
// and allocates the ring and the improved reading's table (the only
// allocations), builds the sync and step tables, sets every position and
// state to its start value (improved_reading, the mode, stays as it is). rs may be null only when
// fec is 0.
void decoder_setup(Decoder& d, int sps, int fec, const rs_codec* rs);

}  // namespace morvix
