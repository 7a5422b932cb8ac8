// SPDX-License-Identifier: Apache-2.0
#include "decoder/majority_block.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "decoder/block_decoder.h"
#include "decoder/majority_reader.h"
#include "decoder/sample_ring.h"
#include "fec/decode_rs.h"
#include "fec/link_codec.h"

namespace morvix {

namespace {

// The dearest correction taken, in windows' worth of majority margins.
constexpr int kMaxCostWindows = 2;

// How unlikely a correction is: the margins of the bits it changes summed.
int cost(const unsigned char* received, const unsigned char* corrected,
         const unsigned char* margins) {
  int total = 0;
  for (int s = 0; s < kBlockSymbols; ++s) {
    const int changed = received[s] ^ corrected[s];
    for (int l = 0; l < kSymbolBits; ++l) {
      if ((changed >> l) & 1) total += margins[s * kSymbolBits + l];
    }
  }
  return total;
}

// A symbol is trusted as far as its narrowest majority; of two alike, the
// one whose bits won by more in all.
void symbol_trust(const unsigned char* margins, int* trust) {
  for (int s = 0; s < kBlockSymbols; ++s) {
    int narrowest = INT_MAX;
    int total = 0;
    for (int l = 0; l < kSymbolBits; ++l) {
      const int m = margins[s * kSymbolBits + l];
      narrowest = m < narrowest ? m : narrowest;
      total += m;
    }
    trust[s] = narrowest * 4096 + total;
  }
}

// The least any change of three symbols or more can cost: the narrowest
// majorities of the three symbols where they are least.
int cheapest_three_symbols(const unsigned char* margins) {
  int low[3] = {INT_MAX, INT_MAX, INT_MAX};
  for (int s = 0; s < kBlockSymbols; ++s) {
    int narrowest = INT_MAX;
    for (int l = 0; l < kSymbolBits; ++l) {
      narrowest = std::min<int>(narrowest, margins[s * kSymbolBits + l]);
    }
    if (narrowest < low[2]) {
      low[2] = narrowest;
      if (low[2] < low[1]) std::swap(low[1], low[2]);
      if (low[1] < low[0]) std::swap(low[0], low[1]);
    }
  }
  return low[0] + low[1] + low[2];
}

// Each syndrome step multiplies by a root of the code: looked up, once the
// tables are made for the codec at hand (it is the link's, made once).
struct RootTables {
  const rs_codec* rs = nullptr;
  unsigned char times_root[kLinkParity][1 << kLinkSymbolBits];
};

const RootTables& root_tables(const rs_codec& rs) {
  static RootTables tables;
  if (tables.rs != &rs) {
    for (int i = 0; i < kLinkParity; ++i) {
      const int root = rs_reduce(rs, (rs.first_root + i) * rs.root_step);
      tables.times_root[i][0] = 0;
      for (int x = 1; x < (1 << kLinkSymbolBits); ++x) {
        tables.times_root[i][x] = rs.exp_table[rs_reduce(rs, rs.log_table[x] + root)];
      }
    }
    tables.rs = &rs;
  }
  return tables;
}

// True when the 16 symbols make a word of the code: every syndrome is 0.
bool is_codeword(const rs_codec& rs, const unsigned char* symbols) {
  const RootTables& t = root_tables(rs);
  unsigned syndromes[kLinkParity] = {};
  for (int j = 0; j < kBlockSymbols; ++j) {
    for (int i = 0; i < kLinkParity; ++i) syndromes[i] = t.times_root[i][syndromes[i]] ^ symbols[j];
  }
  return (syndromes[0] | syndromes[1] | syndromes[2] | syndromes[3]) == 0;
}

struct Choice {
  unsigned char symbols[kBlockSymbols];
  int cost = INT_MAX;
  int count = -1;  // the codec's result
  int erased = 0;
};

// Decodes received with erasures (count e, may be 0) and keeps the result
// in best when it is a codeword that costs less.
void consider(const rs_codec* rs, const unsigned char* received, const unsigned char* margins,
              int32_t* positions, int e, Choice& best) {
  unsigned char candidate[kBlockSymbols];
  std::memcpy(candidate, received, sizeof candidate);
  const int count = decode_rs_char(rs, candidate, positions, e);
  // The codec can count roots that change nothing (in the pad region), or
  // find no error in a word that has some: only a codeword is a correction.
  if (count < 0 || !is_codeword(*rs, candidate)) return;
  const int c = cost(received, candidate, margins);
  if (c >= best.cost) return;
  std::memcpy(best.symbols, candidate, sizeof candidate);
  best.cost = c;
  best.count = count;
  best.erased = e;
}

}  // namespace

void least_trusted(const unsigned char* margins, int count, int32_t* positions) {
  int trust[kBlockSymbols];
  symbol_trust(margins, trust);
  bool taken[kBlockSymbols] = {};
  for (int e = 0; e < count; ++e) {
    int lowest = -1;
    for (int k = 0; k < kBlockSymbols; ++k) {
      if (!taken[k] && (lowest < 0 || trust[k] < trust[lowest])) lowest = k;
    }
    taken[lowest] = true;
    positions[e] = kLinkPad + lowest;
  }
}

int correct_with_erasures(const rs_codec* rs, unsigned char* symbols, const unsigned char* margins,
                          int max_cost, int& erased) {
  erased = 0;
  if (is_codeword(*rs, symbols)) return 0;
  Choice best;
  consider(rs, symbols, margins, nullptr, 0, best);
  // A codeword within two symbols is the one errors alone find; any other
  // changes three symbols or more, and when the three least trusted
  // symbols' narrowest majorities already cost more than max_cost, no
  // erasures can find a dearer one worth taking: skip them (clean samples
  // that match nothing, as a hostile stream has them, cost one decode).
  if (cheapest_three_symbols(margins) > max_cost) {
    if (best.count < 0 || best.cost > max_cost) return -1;
    std::memcpy(symbols, best.symbols, sizeof best.symbols);
    return best.count;
  }
  int32_t order[kLinkParity];
  least_trusted(margins, kLinkParity, order);
  for (int e = 1; e <= kLinkParity; ++e) {
    int32_t positions[kLinkParity];  // the codec writes what it located here
    std::memcpy(positions, order, sizeof positions);
    consider(rs, symbols, margins, positions, e, best);
  }
  if (best.count < 0 || best.cost > max_cost) return -1;
  std::memcpy(symbols, best.symbols, sizeof best.symbols);
  erased = best.erased;
  return best.count;
}

int get_block_majority(Decoder& d) {
  if (d.ring.brx_count < d.block.minblockbytes) return awaiting_input(d.ring);
  const long needed = majority_bytes_needed(d, kBlockBits);
  // Beyond the ring the samples could never all be there at once.
  if (needed >= d.ring.ring_bytes) return -1;
  if (needed >= d.ring.brx_count) return awaiting_input(d.ring);

  unsigned char bits[kBlockBits];
  unsigned char margins[kBlockBits];
  read_majority_bits(d, kBlockBits, bits, margins);

  // The 80 bits that carry symbols, with their margins in symbol order.
  unsigned char symbols[kBlockSymbols];
  unsigned char symbol_margins[kBlockSymbols * kSymbolBits];
  int k = 0;
  for (int s = 0; s < kBlockSymbols; ++s) {
    int symbol = 0;
    for (int l = 0; l < kSymbolBits; ++l, ++k) {
      if (passed_over_bit(k)) ++k;
      symbol |= bits[k] << l;
      symbol_margins[s * kSymbolBits + l] = margins[k];
    }
    symbols[s] = static_cast<unsigned char>(symbol ^ of[kBlockSymbols - 1 - s]);
  }

  d.ar_erased = 0;
  d.ar_corrected = 0;
  if (d.block.fec) {
    d.ar_corrected = correct_with_erasures(d.block.rs, symbols, symbol_margins,
                                           kMaxCostWindows * d.ar_window, d.ar_erased);
    if (d.ar_corrected < 0) return -1;
  }
  note_block(d, d.ar_corrected);
  append_block_data(d.block, symbols);
  return 1;
}

}  // namespace morvix
