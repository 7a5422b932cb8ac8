// SPDX-License-Identifier: Apache-2.0
#include "decoder/block_layout.h"

namespace morvix {

static_assert(symbol_line_bit(kBlockSymbols - 1, kSymbolBits - 1) == kBlockBits - 1);
static_assert(kPassedOverBits == 5);

void block_symbols(const unsigned char* line_bits, unsigned char* symbols) {
  for (int s = 0; s < kBlockSymbols; ++s) {
    int symbol = 0;
    for (int l = 0; l < kSymbolBits; ++l) symbol |= (line_bits[symbol_line_bit(s, l)] & 1) << l;
    symbols[s] = static_cast<unsigned char>(symbol ^ of[kBlockSymbols - 1 - s]);
  }
}

void block_line_bits(const unsigned char* symbols, uint32_t passed_over, unsigned char* line_bits) {
  for (int k = 15, i = 0; k < kBlockBits; k += 16, ++i) {
    line_bits[k] = static_cast<unsigned char>((passed_over >> i) & 1);
  }
  for (int s = 0; s < kBlockSymbols; ++s) {
    const int masked = symbols[s] ^ of[kBlockSymbols - 1 - s];
    for (int l = 0; l < kSymbolBits; ++l) {
      line_bits[symbol_line_bit(s, l)] = static_cast<unsigned char>((masked >> l) & 1);
    }
  }
}

}  // namespace morvix
