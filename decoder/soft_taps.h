// SPDX-License-Identifier: Apache-2.0
// Where three bits' samples do not fit one 57-sample read (sps >= 20), the
// improved reading's soft value weighs one sample per tap, the middle one of
// the tap's slot, so that a value costs the same four table look-ups at any
// sps. The 30 samples are gathered by a few reads and a bit extraction.
#pragma once

#include <bit>
#include <cstdint>

#include "decoder/soft_reader.h"

namespace morvix {

extern const bool kSoftHasPext;  // the CPU extracts bits in one instruction (BMI2)

// Sets s.decimated for s.span (samples a value looks at, already set) and
// s.slot, and plans the reads that gather the taps' middle samples.
void plan_soft_taps(SoftReader& s, int max_read);

// Rebuilds the byte tables (soft-value parts per byte of the samples a
// value looks at) of the bank's sets whose weights moved.
void soft_refresh(Decoder& d);

// The bits of w under mask, packed from bit 0 up (as BMI2's pext does).
inline uint64_t extract_bits(uint64_t w, uint64_t mask) {
#if defined(__x86_64__)
  if (kSoftHasPext) {
    uint64_t r;
    asm("pext %2, %1, %0" : "=r"(r) : "r"(w), "r"(mask));
    return r;
  }
#endif
  uint64_t r = 0;
  for (int k = 0; mask != 0; mask &= mask - 1, ++k) r |= ((w >> std::countr_zero(mask)) & 1) << k;
  return r;
}

}  // namespace morvix
