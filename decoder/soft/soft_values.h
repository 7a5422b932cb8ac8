// SPDX-License-Identifier: Apache-2.0
// The improved reading's line bits (-a): every line bit gets a soft value
// (decoder/soft/soft_taps.h) from the weights of the bank's active set, and
// the bits of a frame are read at a clock that follows the transitions.
//
// Positions are counted in samples from the search position (brdp, brdb),
// which stays soft_lookback(sps) samples before the sync word's candidate
// while a frame is read, so that the soft values there may look back.
#pragma once

#include <cstdint>

#include "decoder/block_layout.h"
#include "decoder/sample_ring.h"
#include "decoder/soft/soft_taps.h"

namespace morvix {

// Where the line bits of the frame being read start.
struct BitClock {
  int64_t pos = 0;               // first sample of the next line bit, in 1/kSoftUnit samples
  int last_bit = 0;              // the line bit before it
  int edge[2] = {};              // samples from a bit's start to where a change to 0 / 1 shows
  long bit_at[kBlockBits] = {};  // where each bit of the last block was read, for learning
};

// The soft value of the line bit whose first sample is q (q >= sps) samples
// after the search position, with the active set of the bank; the samples
// up to q + 2 sps must have arrived.
int32_t soft_value(const SoftValues& v, const SampleRing& r, long q);

// The same for every set k of the bank whose bit k is in sets, into
// values[k], reading the samples once.
void soft_values_of_sets(const SoftValues& v, const SampleRing& r, long q, unsigned sets,
                         int32_t* values);

// The features of that bit for learning (kLearnerRow: see batch_add).
void soft_features(const SoftTaps& t, const SampleRing& r, long q, double* x);

// Starts reading at the sync word whose first line bit starts `place`
// samples after the search position: measures where its edges show and
// leaves pos on the first block's first bit.
void soft_lock(BitClock& c, const SampleRing& r, int place);

// Ring bytes from the search position that reading count line bits from pos
// reaches into (with the clock's slack and the last value's look-ahead).
long soft_bytes_needed(const BitClock& c, const SampleRing& r, int count);

// Reads count line bits from pos, following the clock: their soft values,
// and where each was read (bit_at, for count <= kBlockBits). Preconditions:
// soft_bytes_needed(c, r, count) < brx_count, or input_at_end(r): a value
// then weighs only the samples that arrived (those after count as unknown,
// 0), and the clock is not moved by edges it cannot see whole.
void read_soft_bits(BitClock& c, const SoftValues& v, const SampleRing& r, int count,
                    int32_t* values);

}  // namespace morvix
