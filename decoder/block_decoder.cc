// SPDX-License-Identifier: Apache-2.0
#include "decoder/block_decoder.h"

#include "decoder/block_layout.h"
#include "fec/decode_rs.h"

namespace morvix {

void block_setup(BlockAssembly& a, int sps, int fec, const rs_codec* rs) {
  a.fec = fec;
  a.rs = rs;
  // A block's line bits and one more, in bytes.
  a.minblockbytes = (kBlockBits + 1) * sps / 8;
}

int get_block(SampleRing& r, BlockAssembly& a, FrameQuality& q) {
  if (r.brx_count < a.minblockbytes) return awaiting_input(r);
  // Read only samples that have arrived: a block read from old ring contents
  // would lose the frame, while waiting for it costs nothing.
  const long last_ahead =
      ahead_of_search(r, r.bbp) + (7 - r.bbb + static_cast<long>(kBlockBits - 1) * r.sps) / 8;
  if (last_ahead >= r.brx_count) return awaiting_input(r);

  unsigned char line_bits[kBlockBits];
  for (int k = 0; k < kBlockBits; ++k) {
    line_bits[k] = static_cast<unsigned char>(1 - read_sample(r, r.bbp, r.bbb));
    step_line_bit(r, r.bbp, r.bbb);
  }
  unsigned char symbols[kBlockSymbols];
  block_symbols(line_bits, symbols);
  const int corrected = a.fec ? decode_rs_char(a.rs, symbols, nullptr, 0) : 0;
  if (corrected < 0) return -1;
  note_block(q, corrected);
  append_block_data(a, symbols);
  return 1;
}

void append_block_data(BlockAssembly& a, const unsigned char* symbols) {
  for (int k = 0; k < kDataSymbols; ++k) {
    for (int l = 0; l < kSymbolBits; ++l) {
      // A frame never exceeds the buffer (the checker caps B at 41); the
      // guard only keeps a misuse from writing past it.
      if (a.framep >= kFrameBytes) return;
      const int bit = (symbols[k] >> l) & 1;
      a.frame[a.framep] = static_cast<unsigned char>((a.frame[a.framep] >> 1) | (bit << 7));
      if (++a.framebp == 8) {
        a.framebp = 0;
        ++a.framep;
      }
    }
  }
}

}  // namespace morvix
