// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/chase.h"

#include <bit>
#include <climits>
#include <cstring>

#include "decoder/block_layout.h"

namespace morvix {

namespace {

constexpr int kField = 1 << kSymbolBits;
constexpr int kTopDegree = kLinkSymbols - 1;  // symbol 0's degree

inline int syndrome(uint32_t packed, int i) { return static_cast<int>((packed >> (5 * i)) & 31); }

}  // namespace

void chase_setup(ChaseTables& t, const rs_codec& rs) {
  const auto power = [&rs](int e) { return rs.exp_table[rs_reduce(rs, e)]; };
  for (int a = 0; a < kField; ++a) {
    for (int b = 0; b < kField; ++b) {
      t.mul[a][b] = a == 0 || b == 0 ? 0 : power(rs.log_table[a] + rs.log_table[b]);
    }
    t.inv[a] = a == 0 ? 0 : power(rs.full_length - rs.log_table[a]);
    t.degree[a] = -1;
  }
  for (int e = 0; e <= kTopDegree; ++e) {
    t.degree[power(e)] = static_cast<signed char>(e);
    // Y' = Y X^first_root: this undoes it.
    t.undo[e] = power(rs.full_length * kTopDegree * rs.first_root - e * rs.first_root);
    t.locator[e] = power(e);
  }
  for (int b = 0; b < kChaseBits; ++b) {
    const int s = b / kSymbolBits;
    const int degree = kTopDegree - s;
    uint32_t packed = 0;
    for (int i = 0; i < kLinkParity; ++i) {
      const int root_power = (rs.first_root + i) * rs.root_step * degree;
      packed |= static_cast<uint32_t>(t.mul[1 << (b % kSymbolBits)][power(root_power)]) << (5 * i);
    }
    t.delta[b] = packed;
  }
  for (int s = 0; s < kLinkSymbols; ++s) {
    for (int v = 0; v < kField; ++v) {
      uint32_t packed = 0;
      for (int l = 0; l < kSymbolBits; ++l) {
        if ((v >> l) & 1) packed ^= t.delta[s * kSymbolBits + l];
      }
      t.symbol[s][v] = packed;
    }
  }
  std::memset(t.pair, 0xFF, sizeof t.pair);
  for (int e1 = 0; e1 <= kTopDegree; ++e1) {
    for (int e2 = e1 + 1; e2 <= kTopDegree; ++e2) {
      const int x1 = power(e1), x2 = power(e2);
      const int at = (x1 ^ x2) * kField + t.mul[x1][x2];
      t.pair[at][0] = static_cast<unsigned char>(e1);
      t.pair[at][1] = static_cast<unsigned char>(e2);
    }
  }
}

uint32_t block_syndromes(const ChaseTables& t, const unsigned char* symbols) {
  uint32_t packed = 0;
  for (int s = 0; s < kLinkSymbols; ++s) packed ^= t.symbol[s][symbols[s] & 31];
  return packed;
}

int decode_syndromes(const ChaseTables& t, uint32_t packed, int* index, int* value) {
  if (packed == 0) return 0;
  const int s0 = syndrome(packed, 0), s1 = syndrome(packed, 1);
  const int s2 = syndrome(packed, 2), s3 = syndrome(packed, 3);
  const auto& mul = t.mul;
  // One error: S(i+1) = S(i) X throughout.
  if (s0 != 0) {
    const int x = mul[s1][t.inv[s0]];
    if (x != 0 && s2 == mul[s1][x] && s3 == mul[s2][x]) {
      const int e = t.degree[x];
      if (e < 0) return -1;
      index[0] = kTopDegree - e;
      value[0] = mul[s0][t.undo[e]];
      return 1;
    }
  }
  // Two errors: the locator's coefficients from Newton's identities, its
  // roots by table, the values from the first two syndromes.
  const int det = mul[s1][s1] ^ mul[s0][s2];
  if (det == 0) return -1;
  const int inv_det = t.inv[det];
  const int sigma1 = mul[mul[s1][s2] ^ mul[s0][s3]][inv_det];
  const int sigma2 = mul[mul[s1][s3] ^ mul[s2][s2]][inv_det];
  const unsigned char* roots = t.pair[sigma1 * kField + sigma2];
  if (roots[0] == 0xFF) return -1;
  const int e1 = roots[0], e2 = roots[1];
  const int x1 = t.locator[e1], x2 = t.locator[e2];
  const int y1 = mul[s1 ^ mul[s0][x2]][t.inv[x1 ^ x2]];
  const int y2 = s0 ^ y1;
  if (y1 == 0 || y2 == 0) return -1;
  index[0] = kTopDegree - e1;
  value[0] = mul[y1][t.undo[e1]];
  index[1] = kTopDegree - e2;
  value[1] = mul[y2][t.undo[e2]];
  return 2;
}

int chase_decode(const ChaseTables& t, const int32_t* reliability, int flips,
                 unsigned char* symbols, ChaseResult& result) {
  const uint32_t received = block_syndromes(t, symbols);
  if (received == 0) {
    result = ChaseResult{};
    return 1;
  }
  if (flips > kChaseMaxFlips) flips = kChaseMaxFlips;
  // The least reliable bits, kept sorted by insertion.
  int least[kChaseMaxFlips];
  int count = 0;
  for (int b = 0; b < kChaseBits; ++b) {
    if (count == flips && (flips == 0 || reliability[b] >= reliability[least[count - 1]])) continue;
    int at = count < flips ? count++ : count - 1;
    for (; at > 0 && reliability[least[at - 1]] > reliability[b]; --at) least[at] = least[at - 1];
    least[at] = b;
  }
  signed char slot[kChaseBits];
  std::memset(slot, -1, sizeof slot);
  for (int j = 0; j < count; ++j) slot[least[j]] = static_cast<signed char>(j);

  int32_t best = INT32_MAX;
  unsigned best_pattern = 0;
  int best_n = 0, best_index[2] = {}, best_value[2] = {};
  uint32_t syn = received;
  int32_t flipped = 0;  // reliabilities of the flipped bits, summed
  unsigned pattern = 0;
  for (unsigned g = 0; g < (1u << count); ++g) {
    if (g != 0) {
      const int j = std::countr_zero(g);
      const int b = least[j];
      pattern ^= 1u << j;
      syn ^= t.delta[b];
      flipped += (pattern >> j) & 1 ? reliability[b] : -reliability[b];
    }
    // A codeword whose correction undoes a flip is also reached from the
    // pattern without it, at no more than this: patterns dearer than the
    // best so far cannot win.
    if (flipped >= best) continue;
    int index[2], value[2];
    const int n = decode_syndromes(t, syn, index, value);
    if (n < 0) continue;
    int32_t metric = flipped;
    for (int c = 0; c < n; ++c) {
      for (int l = 0; l < kSymbolBits; ++l) {
        if (((value[c] >> l) & 1) == 0) continue;
        const int b = index[c] * kSymbolBits + l;
        const int j = slot[b];
        metric += j >= 0 && ((pattern >> j) & 1) ? -reliability[b] : reliability[b];
      }
    }
    if (metric < best) {
      best = metric;
      best_pattern = pattern;
      best_n = n;
      for (int c = 0; c < n; ++c) {
        best_index[c] = index[c];
        best_value[c] = value[c];
      }
    }
  }
  if (best == INT32_MAX) return 0;
  unsigned char corrected[kLinkSymbols];
  std::memcpy(corrected, symbols, sizeof corrected);
  for (int j = 0; j < count; ++j) {
    if ((best_pattern >> j) & 1) {
      corrected[least[j] / kSymbolBits] ^=
          static_cast<unsigned char>(1 << (least[j] % kSymbolBits));
    }
  }
  for (int c = 0; c < best_n; ++c)
    corrected[best_index[c]] ^= static_cast<unsigned char>(best_value[c]);
  result.metric = best;
  result.changed = 0;
  for (int s = 0; s < kLinkSymbols; ++s) {
    result.changed += std::popcount(static_cast<unsigned>(corrected[s] ^ symbols[s]));
    symbols[s] = corrected[s];
  }
  return 1;
}

}  // namespace morvix
