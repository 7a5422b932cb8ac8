// State of the frame decoder: the sample ring with its positions, the sync
// search tables, the frame being assembled and the frame checker's state.
// One instance lives as long as the daemon; tests build fresh ones.
//
// The sample stream: eight one-bit samples to a byte, the first in bit 7; a
// sample of 0 stands for a line bit of 1; sps samples to each line bit.
// A frame on the line: 40-bit sync word, then B blocks of 85 line bits.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>

#include "fec/init_rs.h"

namespace morvix {

constexpr int kRingBytes = 4781;      // the ring's size at up to 10 samples per bit
constexpr int kInputBytes = 2048;     // largest datagram payload taken from the input
constexpr int kFrameBytes = 320;      // frame buffer; the longest frame is 307 bytes
constexpr int kMaxFrameBlocks = 41;
constexpr int kSyncBits = 40;
constexpr int kBlockBits = 85;
constexpr int kMaxSps = 1000;

struct Decoder {
  // Bitstream input (sample_ring).
  int dfd = -1;
  unsigned char ibuf[kInputBytes]{};
  int irdlen = 0;
  int irdptr = 0;
  timeval rcv_timeout{1, 0};

  // The ring, sized once from sps; byte indices run 0 .. ring_bytes - 1.
  std::unique_ptr<unsigned char[]> rxbits;
  int ring_bytes = 0;
  int bwrp = 0;       // where the next input byte is written
  int brdp = 0;       // search position: byte ...
  int brdb = 7;       // ... and bit (7 is the earliest sample of a byte)
  int brx_count = 0;  // bytes from brdp inclusive up to bwrp not yet given up
  int bbp = 0;        // block position: byte ...
  int bbb = 7;        // ... and bit of the next sample read

  int sps = 10;

  // Sync search tables (sync_search).
  unsigned char match_bits[5]{};
  int match_table[kSyncBits]{};
  int minmatchbytes = 0;
  int bbytes[8]{};  // bytes a position at bit p moves over one line bit
  int bbnext[8]{};  // the bit it lands on

  // The word-parallel scan (sync_scan) loads past the ring's end: the spare
  // bytes there take a copy of the ring's start when it does.
  int sync_mirror_bytes = 0;  // spare bytes after the ring, set from sps
  bool sync_wide = false;     // run the scan's AVX2 build (the CPU has it)

  // Block decoder.
  int minblockbytes = 0;
  int fec = 1;
  const rs_codec* rs = nullptr;
  unsigned char frame[kFrameBytes]{};
  int framep = 0;
  int framebp = 0;

  // Frame checker.
  int df_state = 0;
  int df_blocks_to_read = 0;
  int framelen = 0;
};

// Ring bytes needed to hold the longest frame at sps samples per line bit,
// never fewer than kRingBytes.
int ring_bytes_for(int sps);

// Start-up of the decoder for sps (1 .. kMaxSps) samples per line bit: sizes
// and allocates the ring (the only allocation), builds the sync and step
// tables, sets every position and state to its start value. rs may be null
// only when fec is 0.
void decoder_setup(Decoder& d, int sps, int fec, const rs_codec* rs);

}  // namespace morvix
