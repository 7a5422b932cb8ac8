// SPDX-License-Identifier: Apache-2.0
// Retries that would read what was just read. A frame the literal reading
// rejects is read again at each following sample phase that matches its
// sync word; where those phases read the very same samples for every line
// bit that the rejected reading used, they would be rejected the very same
// way, and the search passes over them at once. A clean sync word repeated
// (or its first 27 bits, which match with 5 wrong) then costs one reading,
// not one for each of its sps phases.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

// How many of the sample phases after the search position read, at every
// one of the first line_bits line bits (sps apart), the same sample as the
// search position does; at most limit (<= 56), and only phases whose
// samples have all arrived.
// ahead: the samples from the search position to the sync word's first
// (the improved reading's search stands that far behind it).
int identical_phases(const Decoder& d, long line_bits, int limit, long ahead = 0);

// After the literal reading rejected the frame at the search position:
// moves the search over the following phases that are retries of it and
// would read exactly what it read, so the next search starts after them.
// Changes nothing else: those retries would change no count.
void skip_identical_retries(Decoder& d);

}  // namespace morvix
