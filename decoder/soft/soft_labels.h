// SPDX-License-Identifier: Apache-2.0
// What the improved reading learns from: the line bits of frames it read
// itself and trusts. While a frame is read softly its sync word's bits and
// every decoded block's 80 code bits are kept as labels (where each was
// read, its decoded value); when the frame passes both CRCs
// and its soft evidence agrees with its decoding (few decoded bits against
// the sign of their soft value, small Chase metrics), a bounded number of
// them, spread over the frame and so over the bit patterns, teach the set
// that read it (decoder/soft/soft_bank.h). Labels are paid for by input: a
// credit earned per input sample, saved up to a bound, so that no input
// makes learning cost more than a small share of reading it.
#pragma once

#include <cstdint>

#include "decoder/block_layout.h"
#include "decoder/frame_format.h"
#include "decoder/sample_ring.h"
#include "decoder/soft/soft_taps.h"
#include "decoder/sync_word.h"

namespace morvix {

constexpr int kMaxLabels = kSyncBits + kMaxFrameBlocks * kBlockSymbols * kSymbolBits;

struct LabelBuffer {
  int32_t at[kMaxLabels]{};   // where the bit was read: samples from the search position
  uint8_t bit[kMaxLabels]{};  // its decoded value
  int count = 0;
  int against = 0;         // decoded bits against the sign of their soft value
  int blocks = 0;          // blocks decoded
  int64_t metric_sum = 0;  // their Chase metrics, 1/kSoftUnit LLR
  InputCredit credit;      // labels that may still be learned from (earned by input)
  int64_t frames = 0;      // frames learned from, which varies where the labels are taken
  int stride = 1;          // the frame's code and sync bits kept: every stride-th,
  int phase = 0;           // from this one
  int sync_kept = 0;       // the sync word's bits kept, first in the buffer
};

// Empties the buffer for a new frame that the set with learner `reading`
// reads (the credit stays). A settled set keeps only a spread few of the
// frame's bits: it learns from a few a frame.
void labels_start(LabelBuffer& l, const SoftLearner& reading);

// Start-up: no labels, the first frames' credit.
void labels_reset(LabelBuffer& l);

// Keeps a decoded block: where each of its kBlockBits line bits was read and its
// soft value, per symbol the bits that decoding changed (bit l: the
// symbol's bit l), its Chase metric. Bits that are sure and were not
// changed are counted, not kept: they would teach nearly nothing.
void labels_add_block(LabelBuffer& l, const long* bit_at, const int32_t* values,
                      const unsigned char* flipped, int32_t metric);

// The frame being read passed both CRCs: when its evidence is trusted,
// teaches its sync word's bits (its first line bit `place` samples after
// the search position) and its blocks' bits to the bank's active set, the
// one that read it, or to a learned set started from it.
void soft_learn_frame(LabelBuffer& l, SoftValues& v, const SampleRing& r, int place);

}  // namespace morvix
