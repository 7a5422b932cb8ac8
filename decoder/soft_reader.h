// SPDX-License-Identifier: Apache-2.0
// The improved reading (-a): every line bit gets a soft value, a weighted sum
// of the samples of the bit and its two neighbours plus a constant, in
// 1/256 of a log-likelihood ratio (positive for a line bit of 1). The
// weights are learned per stream (decoder/soft_learner.h) and used through
// byte tables. Sync words are found by the soft values' correlation with
// the sync word, blocks are decoded by Chase-II (decoder/chase.h), the bit
// clock is followed at the transitions. When the improved reading fails, the
// literal reading reads the frame as it would without -a.
//
// Positions are counted in samples from the search position (brdp, brdb),
// which stays soft_lookback(sps) samples before the sync word's candidate
// while a frame is read, so that the soft values there may look back.
#pragma once

#include <cstdint>
#include <memory>

#include "decoder/chase.h"
#include "decoder/soft_bank.h"
#include "decoder/soft_labels.h"

namespace morvix {

struct Decoder;

constexpr int kSoftUnit = 256;  // soft values in 1/256 LLR; pos in 1/256 samples

struct SoftReader {
  SoftReader() = default;
  SoftReader(const SoftReader&) = delete;
  SoftReader& operator=(const SoftReader&) = delete;

  // The soft values' weights (a bank of sets, decoder/soft_bank.h): learned
  // in double, used as one table of soft-value parts per byte of the
  // samples a value looks at.
  WeightBank bank;
  LabelBuffer labels;         // what the frame being read may teach
  int span = 30;              // samples a value looks at: 3 sps from a bit before
  int slot[kSoftTaps + 1]{};  // tap i covers samples slot[i] .. slot[i + 1] - 1
  int chunks = 0;             // bytes of samples a value looks at
  // Where three bits' samples do not fit one read, a tap weighs only the
  // middle sample of its slot (decoder/soft_taps.h), gathered by reads.
  bool decimated = false;
  int reads = 0;
  int read_at[kSoftTaps]{};         // a read's first sample, from the value's first
  int read_len[kSoftTaps]{};        // its samples
  uint64_t read_mask[kSoftTaps]{};  // the samples it gathers (the earliest in bit read_len - 1)
  int read_picks[kSoftTaps]{};      // how many
  ChaseTables chase;
  int lookback = 0;     // samples between the search position and a candidate
  int ahead = 0;        // the same for the candidate at hand (less at the input's start)
  long start_next = 0;  // the input's first samples: the next candidate there

  // The sync word being judged or read.
  bool pending = false;       // a candidate waits for samples before it is judged
  bool literal = false;       // it is also the literal reading's sync word (<= 5 wrong)
  bool reading = false;       // this frame's blocks are read softly
  int64_t tried_at = -1;      // input sample of the last candidate read softly
  int64_t judged_until = -1;  // candidates before this input sample are judged
  int place = 0;              // the sync word's first line bit: samples from the search position
  int rho_x1000 = 0;          // its soft correlation, x1000

  // Reading the frame's line bits.
  int64_t pos = 0;           // first sample of the next line bit, in 1/kSoftUnit samples
  int last_bit = 0;          // the line bit before it
  int edge[2] = {};          // samples from a bit's start to where a change to 0 / 1 shows
  long bit_at[85] = {};      // where each bit of the last block was read, for learning
  int64_t chase_credit = 0;  // Chase test words that may be decoded (earned by input)
  int64_t credit_bytes_in = 0;
  // The input's bytes_in when the transmission was declared ended
  // (input_ended); while no byte has come since, the samples past the last
  // one count as unknown. -1: never.
  int64_t end_bytes = -1;

  // The frame's figures (FrameQuality::soft when it is passed on).
  int64_t ber_sum = 0;  // expected wrong hard decisions, x 65536
  int bits = 0;
  int chase_changed = 0;
  int chase_blocks = 0;
};

// Start-up for d.ring.sps: the weights' defaults, the tables (the only
// allocation), the lookback; forgets any frame being read.
void soft_setup(Decoder& d);

// The soft value of the line bit whose first sample is q (q >= sps) samples
// after the search position, with the active set of the bank; the samples
// up to q + 2 sps must have arrived.
int32_t soft_value(const Decoder& d, long q);

// The same for every set k of the bank whose bit k is in sets, into
// values[k], reading the samples once.
void soft_values_of_sets(const Decoder& d, long q, unsigned sets, int32_t* values);

// The features of that bit for learning (kLearnerRow: see learner_update).
void soft_features(const Decoder& d, long q, double* x);

// Ring bytes from the search position that reading count line bits from pos
// reaches into (with the clock's slack and the last value's look-ahead).
long soft_bytes_needed(const Decoder& d, int count);

// Starts reading at the sync word at place: measures where its edges show
// and leaves pos on the first block's first bit.
void soft_lock(Decoder& d);

// True while the transmission has ended (input_ended) and no sample came
// after: the reading then finishes with the samples there are.
bool soft_at_end(const Decoder& d);

// Samples from the search position on that have arrived.
long soft_known(const Decoder& d);

// Reads count line bits from pos, following the clock: their soft values,
// and where each was read (bit_at, for count <= 85). Preconditions:
// soft_bytes_needed(d, count) < brx_count, or soft_at_end(d): a value then
// weighs only the samples that arrived (those after count as unknown, 0),
// and the clock is not moved by edges it cannot see whole.
void read_soft_bits(Decoder& d, int count, int32_t* values);

}  // namespace morvix
