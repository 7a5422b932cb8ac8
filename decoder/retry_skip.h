// SPDX-License-Identifier: Apache-2.0
// Retries that would read what was just read. A frame the literal reading
// rejects is read again at each following sample phase that matches its
// sync word; where those phases read the very same samples for every line
// bit that the rejected reading used, they would be rejected the very same
// way, and the search passes over them at once. A clean sync word repeated
// (or its first 27 bits, which match with 5 wrong) then costs one reading,
// not one for each of its sps phases.
#pragma once

#include <cstdint>

#include "decoder/sample_ring.h"

namespace morvix {

// How many of the sample phases after the sync word `ahead` samples after
// the search position read, at every one of the first line_bits line bits
// (sps apart), the same sample as the sync word's does; at most limit
// (< kRingWordSamples), and only phases whose samples have all arrived. (The improved
// reading's search stands `ahead` samples behind the sync word; the
// literal search stands on it.)
int identical_phases(const SampleRing& r, long line_bits, int limit, long ahead = 0);

// After the literal reading rejected the frame whose sync word lies `ahead`
// samples after the search position, with `retries` (the phases after it
// that are retries of it): moves the search over those that would read
// exactly what the block position shows it read, so the next search starts
// after them. Changes nothing else: those retries would change no count.
void skip_identical_retries(SampleRing& r, int64_t retries, long ahead);

}  // namespace morvix
