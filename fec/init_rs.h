// SPDX-License-Identifier: Apache-2.0
// Reed-Solomon codec over GF(2^m), one symbol to a byte, for codes shortened
// by leaving out leading zero symbols. The link's own code is made by
// link_codec() (fec/link_codec.h).
#pragma once

#include <cstdint>

namespace morvix {

// Field tables and generator of one code. Immutable once init_rs_char has
// returned it; it owns its three tables.
struct rs_codec {
  int32_t symbol_bits;       // m
  int32_t full_length;       // 2^m - 1, also the log-form zero marker
  unsigned char* exp_table;  // 2^m entries: exp_table[i] = alpha^i, [full_length] = 0
  unsigned char* log_table;  // 2^m entries: log_table[0] = full_length
  unsigned char* generator;  // parity_count + 1 entries, log form, constant term first
  int32_t parity_count;
  int32_t first_root;
  int32_t root_step;
  int32_t root_step_inverse;  // root_step^-1 modulo full_length
  int32_t pad_count;
};

// Builds a codec, or returns null (nothing left allocated) when a parameter is
// refused, field_poly does not generate every nonzero element, root_step has
// no inverse modulo 2^m - 1, or memory runs out. Prints nothing.
rs_codec* init_rs_char(uint32_t symbol_bits, int field_poly, int first_root, int root_step,
                       int parity_count, int pad_count);

// Releases a handle from init_rs_char (never null); it must not be used after.
void free_rs_char(rs_codec* codec);

// x modulo full_length for non-negative x, without a division. Inline: the
// decoder's inner loops call it at every step.
inline int rs_reduce(const rs_codec& codec, int x) {
  while (x >= codec.full_length) {
    x -= codec.full_length;
    x = (x & codec.full_length) + (x >> codec.symbol_bits);
  }
  return x;
}

}  // namespace morvix
