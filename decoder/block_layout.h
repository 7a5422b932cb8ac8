// SPDX-License-Identifier: Apache-2.0
// The layout of one 85-bit block on the line, for everything that reads or
// writes blocks (the literal and improved readings, the signal generator).
// Line bit k of a block (k = 0 first on the line) carries nothing when
// k + 1 is a multiple of 16; the other 80 carry the 16 five-bit symbols of a
// word of the link's code in order, each symbol least significant bit first.
// On the line symbol s is XORed with the mask of[15 - s].
#pragma once

#include <cstdint>

#include "fec/link_codec.h"

namespace morvix {

constexpr int kBlockBits = 85;
constexpr int kSymbolBits = 5;
constexpr int kBlockSymbols = kLinkSymbols;     // a word of the link's code
constexpr int kDataSymbols = kLinkDataSymbols;  // its data symbols, the first 12
constexpr int kPassedOverBits = kBlockBits - kBlockSymbols * kSymbolBits;

// The symbol masks ("of"), stored last symbol first.
inline constexpr unsigned char of[kBlockSymbols] = {0x1C, 0x12, 0x13, 0x0E, 0x1F, 0x06, 0x16, 0x1C,
                                                    0x16, 0x1C, 0x16, 0x1C, 0x01, 0x06, 0x1C, 0x0C};

// True for the block bits that carry no data (k = 15, 31, 47, 63, 79).
constexpr bool passed_over_bit(int k) { return (k + 1) % 16 == 0; }

// The line bit (0 .. 84) that carries bit l (0 = least significant) of
// symbol s.
constexpr int symbol_line_bit(int s, int l) {
  const int carried = s * kSymbolBits + l;
  return carried + carried / 15;
}

// 85 line bits (each 0 or 1) to the 16 unmasked symbols they carry.
void block_symbols(const unsigned char* line_bits, unsigned char* symbols);

// The 16 symbols of a word (unmasked) to its 85 line bits; the passed-over
// bits take bits 0 .. 4 of passed_over in turn.
void block_line_bits(const unsigned char* symbols, uint32_t passed_over, unsigned char* line_bits);

}  // namespace morvix
