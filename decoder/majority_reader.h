// SPDX-License-Identifier: Apache-2.0
// The line bits of the improved reading (-a). After a sync match the sample
// phases that follow are tried too, and the frame is read from the centre
// of the run of phases at which the sync word matches (the centre of the
// eye), not from its first phase. Each line bit is the majority of the
// ar_window samples around its centre (the central seven tenths), and the centre follows the
// transmitter's bit clock: every transition nudges it towards the middle
// between two edges.
//
// Positions here are counted in samples from the search position (brdp,
// brdb), which stays on the sync word's first sample while a frame is read.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

namespace morvix {

constexpr int kCentreUnit = 256;  // ar_centre counts 1/256 samples

// Samples per majority decision at sps samples per bit: odd, 7 at 10.
int majority_window(int sps);

// get_frame_id (same results), and in the improved mode whether the sync
// word found gets an improved reading: a new one does (ar_reading set); the
// same sync word again at a later phase, after its improved and literal
// readings failed, gets the literal reading alone, as without -a.
int search_improved(Decoder& d);

// The centre of the run of sample phases, from the search position on (at
// most sps of them), at which the sync word there matches: how far it lies
// from the search position, in ar_centre's units. The samples up to
// sps * 40 after the search position must have arrived.
int64_t eye_centre(const Decoder& d);

// Places ar_centre on the eye of the sync word at the search position and
// follows the clock over the sync word, so that ar_centre ends on the
// centre of the first block's first bit. Returns 1 (ar_eye_set), or 0 with
// need_input when the samples it reads have not all arrived.
int place_eye(Decoder& d);

// Ring bytes from the search position that reading count line bits from
// ar_centre reaches into; they have all arrived when this is below
// brx_count. (The clock moves the centre by at most 1/32 bit per bit.)
long majority_bytes_needed(const Decoder& d, int count);

// Reads count line bits at ar_centre: bits[i] is the majority decision (a
// line bit of 1 where most samples are 0), margins[i] how many more samples
// voted for it than against (1 .. ar_window, odd). ar_centre moves on by
// count bits and the clock nudges; ar_last_bit is the last bit decided.
// Preconditions: majority_bytes_needed(d, count) < brx_count, and ar_centre
// at least one line bit after the search position (each bit looks back to
// the previous centre).
void read_majority_bits(Decoder& d, int count, unsigned char* bits, unsigned char* margins);

// Abandons the improved reading of this frame: the frame is read again from
// its first block by the literal reading, at the sync word's first phase.
void fall_back_to_literal(Decoder& d);

}  // namespace morvix
