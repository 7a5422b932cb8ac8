// SPDX-License-Identifier: Apache-2.0
// The block decoder: 85 line bits at the block position become 16 five-bit
// symbols (the bits with k + 1 a multiple of 16 carry nothing; a symbol's
// first bit is its least significant), are unmasked, corrected when fec is
// on, and their 12 data symbols append 60 bits to the frame, each byte
// filled least significant bit first.
#pragma once

#include "decoder/decoder.h"
#include "fec/link_codec.h"

namespace morvix {

constexpr int kBlockSymbols = kLinkSymbols;     // a word of the link's code
constexpr int kDataSymbols = kLinkDataSymbols;  // its data symbols, the first 12

// The symbol masks ("of"), stored last symbol first: symbol k is XORed with
// of[15 - k] on the line.
inline constexpr unsigned char of[kBlockSymbols] = {0x1C, 0x12, 0x13, 0x0E, 0x1F, 0x06, 0x16, 0x1C,
                                                    0x16, 0x1C, 0x16, 0x1C, 0x01, 0x06, 0x1C, 0x0C};

// True for the block bits that carry no data (k = 15, 31, 47, 63, 79).
constexpr bool passed_over_bit(int k) { return (k + 1) % 16 == 0; }

// Reads the block at (bbp, bbb). Returns 1 when its 60 data bits were
// appended to frame (block position moved 85 line bits on), 0 when its
// samples have not all arrived yet (nothing changed but need_input; try
// again), -1 when the codec found it uncorrectable (nothing appended).
int get_block(Decoder& d);

// Appends the 60 bits of data symbols 0 .. 11 (unmasked, corrected) to the
// frame, each frame byte filled least significant bit first.
void append_block_data(Decoder& d, const unsigned char* symbols);

}  // namespace morvix
