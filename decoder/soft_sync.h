// SPDX-License-Identifier: Apache-2.0
// The improved reading's sync word (decoder/soft_reader.h): where a candidate
// that the hard search found is judged by the soft values' correlation with
// the sync word, and where its bits are placed.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

// Samples the search position stands before a candidate at sps samples per
// bit, so that judging it never looks before the search position.
int soft_lookback(int sps);

// Judges the candidate soft.lookback samples after the search position: the
// first bit start from about a bit before it on whose soft correlation with
// the sync word reaches 0.85, the peak of the correlation within 1.6 bits
// after it, the phase within half a bit around that with the most confident
// values over the sync word and the 20 bits after it. Returns 1 (soft.place
// and soft.rho_x1000 set), 0 when it is no sync word (place set to the best
// guess, for learning), -1 when the samples it needs have not all arrived.
int soft_judge(Decoder& d);

}  // namespace morvix
