// SPDX-License-Identifier: Apache-2.0
#include "decoder/block_decoder.h"

#include "decoder/sample_ring.h"
#include "fec/decode_rs.h"

namespace morvix {

int get_block(Decoder& d) {
  if (d.ring.brx_count < d.block.minblockbytes) return awaiting_input(d.ring);
  // Read only samples that have arrived: a block read from old ring contents
  // would lose the frame, while waiting for it costs nothing.
  const long last_ahead = ahead_of_search(d.ring, d.ring.bbp) +
                          (7 - d.ring.bbb + static_cast<long>(kBlockBits - 1) * d.ring.sps) / 8;
  if (last_ahead >= d.ring.brx_count) return awaiting_input(d.ring);

  unsigned char line_bits[kBlockBits];
  for (int k = 0; k < kBlockBits; ++k) {
    line_bits[k] = static_cast<unsigned char>(1 - read_sample(d.ring, d.ring.bbp, d.ring.bbb));
    step_line_bit(d.ring, d.ring.bbp, d.ring.bbb);
  }
  unsigned char symbols[kBlockSymbols];
  block_symbols(line_bits, symbols);
  const int corrected = d.block.fec ? decode_rs_char(d.block.rs, symbols, nullptr, 0) : 0;
  if (corrected < 0) return -1;
  note_block(d, corrected);
  append_block_data(d.block, symbols);
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
