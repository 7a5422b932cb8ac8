// SPDX-License-Identifier: Apache-2.0
// What a soft value is made of: the samples it looks at (its taps) and the
// byte tables made from the bank's weights for them. A value is a weighted
// sum of the samples of its bit and its two neighbours plus a constant, in
// 1/kSoftUnit of a log-likelihood ratio (positive for a line bit of 1).
//
// Where three bits' samples fit one RingWords read (sps < 20), each tap weighs
// the samples of its slot, a tenth of a bit, alike. Where they do not, a
// tap weighs one sample, the middle one of its slot, so that a value costs
// the same four table look-ups at any sps: its 30 samples are gathered by
// a few reads and a bit extraction.
#pragma once

#include <bit>
#include <cstdint>

#include "decoder/soft/soft_bank.h"
#include "decoder/soft/soft_learner.h"

namespace morvix {

constexpr int kSoftUnit = 256;  // soft values in 1/256 LLR; positions in 1/256 samples

// How a value reads its samples, planned once from sps.
struct SoftTaps {
  int span = 30;              // samples a value looks at: 3 sps from a bit before
  int slot[kSoftTaps + 1]{};  // tap i covers samples slot[i] .. slot[i + 1] - 1
  int chunks = 0;             // bytes of samples a value's table covers
  // With one sample per tap, the reads that gather them.
  bool decimated = false;
  int reads = 0;
  int read_at[kSoftTaps]{};         // a read's first sample, from the value's first
  int read_len[kSoftTaps]{};        // its samples
  uint64_t read_mask[kSoftTaps]{};  // the samples it gathers (the earliest in bit read_len - 1)
  int read_picks[kSoftTaps]{};      // how many
};

// The taps and the weight bank whose tables are made for them.
struct SoftValues {
  SoftValues() = default;
  SoftValues(const SoftValues&) = delete;
  SoftValues& operator=(const SoftValues&) = delete;

  SoftTaps taps;
  WeightBank bank;
};

extern const bool kSoftHasPext;  // the CPU extracts bits in one instruction (BMI2)

// Plans the taps for sps samples per line bit: the slots, whether a tap
// takes one sample, the reads that gather those.
void plan_soft_taps(SoftTaps& t, int sps);

// Start-up for sps: the taps, the bank's starting sets and their tables
// (the only allocation).
void soft_values_setup(SoftValues& v, int sps);

// Rebuilds the byte tables of the bank's sets whose weights moved.
void soft_refresh(SoftValues& v);

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
