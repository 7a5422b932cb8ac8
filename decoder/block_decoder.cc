// SPDX-License-Identifier: Apache-2.0
#include "decoder/block_decoder.h"

#include "decoder/sample_ring.h"
#include "fec/decode_rs.h"

namespace morvix {

int get_block(Decoder& d) {
  if (d.brx_count < d.minblockbytes) return awaiting_input(d);
  // Read only samples that have arrived: a block read from old ring contents
  // would lose the frame, while waiting for it costs nothing.
  const long last_ahead =
      ahead_of_search(d, d.bbp) + (7 - d.bbb + static_cast<long>(kBlockBits - 1) * d.sps) / 8;
  if (last_ahead >= d.brx_count) return awaiting_input(d);

  unsigned char symbols[kBlockSymbols];
  int nsymbols = 0;
  int symbol = 0;
  int nbits = 0;
  for (int k = 0; k < kBlockBits; ++k) {
    if (!passed_over_bit(k)) {
      const int line_bit = 1 - read_sample(d, d.bbp, d.bbb);
      symbol = (symbol >> 1) | (line_bit << 4);
      if (++nbits == 5) {
        symbols[nsymbols++] = static_cast<unsigned char>(symbol);
        symbol = 0;
        nbits = 0;
      }
    }
    step_line_bit(d, d.bbp, d.bbb);
  }

  for (int k = 0; k < kBlockSymbols; ++k) symbols[k] ^= of[kBlockSymbols - 1 - k];
  const int corrected = d.fec ? decode_rs_char(d.rs, symbols, nullptr, 0) : 0;
  if (corrected < 0) return -1;
  note_block(d, corrected);
  append_block_data(d, symbols);
  return 1;
}

void append_block_data(Decoder& d, const unsigned char* symbols) {
  for (int k = 0; k < kDataSymbols; ++k) {
    for (int l = 0; l < 5; ++l) {
      // A frame never exceeds the buffer (the checker caps B at 41); the
      // guard only keeps a misuse from writing past it.
      if (d.framep >= kFrameBytes) return;
      const int bit = (symbols[k] >> l) & 1;
      d.frame[d.framep] = static_cast<unsigned char>((d.frame[d.framep] >> 1) | (bit << 7));
      if (++d.framebp == 8) {
        d.framebp = 0;
        ++d.framep;
      }
    }
  }
}

}  // namespace morvix
