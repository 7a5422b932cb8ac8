// SPDX-License-Identifier: Apache-2.0
// Chase-II decoding of one block of the link's code (fec/link_codec.h): the
// k least reliable of its 80 symbol bits are flipped in every pattern, each
// test word is decoded with errors only (at most two symbols), and the
// codeword closest to what was received wins: the one whose differing bits
// have the smallest reliabilities summed. The test words differ by one bit
// from each other (Gray code), so their syndromes follow by one XOR each,
// and a test word is decoded from its syndromes by tables.
#pragma once

#include <cstdint>

#include "fec/init_rs.h"
#include "fec/link_codec.h"

namespace morvix {

constexpr int kChaseBits = kLinkSymbols * kLinkSymbolBits;  // the 80 symbol bits
constexpr int kChaseMaxFlips = 12;                          // the most bits k may name

// Tables for the link's code, made once by chase_setup.
struct ChaseTables {
  uint32_t delta[kChaseBits]{};  // syndromes of each bit alone, 5 bits each, S0 lowest
  uint32_t symbol[16][32]{};     // syndromes of each symbol's value alone
  unsigned char mul[32][32]{};   // field products
  unsigned char inv[32]{};       // field inverses (inv[0] unused)
  signed char degree[32]{};      // X = alpha^e -> e when e is a symbol's degree (0 .. 15), else -1
  unsigned char undo[16]{};      // per degree e: alpha^(-14 e), turns Y' back into the error value
  unsigned char locator[16]{};   // per degree e: alpha^e
  unsigned char pair[32 * 32]
                    [2]{};  // sigma1, sigma2 -> the two degrees with those sums; 0xFF: none
};

// Fills t for the link's codec rs.
void chase_setup(ChaseTables& t, const rs_codec& rs);

// The 20-bit syndromes of 16 symbols (symbol 0 the highest-order coefficient).
uint32_t block_syndromes(const ChaseTables& t, const unsigned char* symbols);

// Decodes syndromes with errors only: returns the symbols corrected (0, 1 or
// 2) with their indices (0 .. 15) and error values, or -1 when no word
// within two symbols has them.
int decode_syndromes(const ChaseTables& t, uint32_t syndromes, int* index, int* value);

struct ChaseResult {
  int32_t metric = 0;  // reliabilities of the bits changed, summed
  int changed = 0;     // bits changed
};

// Corrects symbols (unmasked hard decisions, bit l of symbol s is bit
// s * 5 + l) in place to the closest codeword Chase-II finds, flipping the
// `flips` (0 .. kChaseMaxFlips) least reliable bits; reliability[b] >= 0
// per bit. Returns 1 with result filled, or 0 (symbols unchanged) when no
// test word decodes. Uses no heap.
int chase_decode(const ChaseTables& t, const int32_t* reliability, int flips,
                 unsigned char* symbols, ChaseResult& result);

}  // namespace morvix
