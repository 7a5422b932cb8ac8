// SPDX-License-Identifier: Apache-2.0
// A reference for the sensitivity bench: a receiver that is told where each
// frame's line bits lie in the samples (so it needs no sync search and no
// clock recovery) and how the channel treats them: it learns, from the
// stream's own samples and the line bits sent, what a sample at each place
// around a bit says about the bit, adds that up into a soft value per bit,
// and decodes every block with Chase-II over a long list. What it decodes
// shows roughly what the code allows on a channel, for comparing readings.
#pragma once

#include <cstdint>
#include <vector>

#include "decoder/soft/chase.h"

namespace morvix::bench {

struct ReferenceReceiver {
  ChaseTables tables;
  int flips = kChaseMaxFlips;  // least reliable symbol bits flipped per block
  int sps = 0;                 // samples per line bit; a bit's window is 2.5 bits wide:
  int before = 0;              // it starts this many samples before the bit
  // Per sample value and window place: its log-likelihood ratio for a line
  // bit of 1, scaled; [0] alone, then [1 + 2 p + n] given the hard decisions
  // p and n of the bits before and after by [0].
  std::vector<int32_t> weight[5][2];
};

// Makes the tables for the link's code; flips is 0 .. kChaseMaxFlips.
void reference_setup(ReferenceReceiver& r, int flips);

// Learns the weights at sps samples per bit from frames whose first samples
// are starts[i] and whose line bits are bits[i].
void reference_learn(ReferenceReceiver& r, const std::vector<uint8_t>& samples,
                     const std::vector<int64_t>& starts,
                     const std::vector<std::vector<uint8_t>>& bits, int sps);

// Reads the frame whose sync word's first line bit starts at sample start of
// samples (packed eight to a byte, first in bit 7) with the learned weights.
// Returns the frame when its header and frame CRCs check as the decoder
// checks them, else an empty vector.
std::vector<uint8_t> reference_decode(const ReferenceReceiver& r,
                                      const std::vector<uint8_t>& samples, int64_t start);

// Learns from a stream, then reads each of its frames; returns how many came
// out as sent[i] and adds those that came out otherwise to wrong.
int reference_count(ReferenceReceiver& r, const std::vector<uint8_t>& samples,
                    const std::vector<int64_t>& starts,
                    const std::vector<std::vector<uint8_t>>& bits,
                    const std::vector<std::vector<uint8_t>>& sent, int sps, int& wrong);

}  // namespace morvix::bench
