// SPDX-License-Identifier: Apache-2.0
// The improved reading's sync word: where a candidate that the hard search
// found is judged by the soft values' correlation with the sync word, where
// its bits are placed, and under which of the bank's weight sets it is read.
#pragma once

#include <cstdint>

#include "decoder/sample_ring.h"
#include "decoder/soft/soft_taps.h"

namespace morvix {

// The sync word being judged, and what judging it under other sets costs.
struct SyncJudge {
  int place = 0;      // its first line bit: samples from the search position
  int rho_x1000 = 0;  // its soft correlation, x1000
  // Judging a sync word under other sets than the active one is paid for
  // by input, so that sync words sent back to back cannot make it cost
  // more than a share of their reading.
  InputCredit credit;
};

// Start-up: the first sync words' credit.
void sync_judge_reset(SyncJudge& s);

// Samples the search position stands before a candidate at sps samples per
// bit, so that judging it never looks before the search position.
int soft_lookback(int sps);

// Judges the candidate `candidate` samples after the search position, with
// the bank's active set: the first bit start from about a bit before it on
// whose soft correlation with the sync word reaches 0.85, the peak of the
// correlation within 1.6 bits after it, the phase within half a bit around
// that with the most confident values over the sync word and the 20 bits
// after it. Returns 1 (place and rho_x1000 set), 0 when it is no sync word
// (place set to the best guess, for learning), -1 when the samples it needs
// have not all arrived. candidate >= soft_lookback(sps).
int soft_judge(SyncJudge& s, SoftValues& v, const SampleRing& r, long candidate);

// After soft_judge judged the candidate (0 or 1) with the active set:
// judges it again with the set whose soft values fit the sync word best at
// the place found, when that is another set and fits clearly better, or
// when the active set found no sync word. Returns the verdict of the set
// left active (0 or 1). Where sync words come faster than the input pays
// for this, the active set's verdict stands.
int bank_judge(SyncJudge& s, SoftValues& v, const SampleRing& r, long candidate, int judged);

}  // namespace morvix
