// SPDX-License-Identifier: Apache-2.0
// The block decoder of the improved reading (-a): a block's 85 line bits
// read by majority (decoder/majority_reader.h), each symbol trusted as far
// as the narrowest majority among its bits; a block that is no codeword is
// decoded with errors only and again with its least trusted symbols as
// erasures, and the correction that overrules the least wins. Symbols,
// masks and the frame bits are those of decoder/block_decoder.h.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"
#include "fec/init_rs.h"

namespace morvix {

// Reads the block at ar_centre, like get_block: 1 when its 60 data bits were
// appended to the frame, 0 when its samples have not all arrived (nothing
// changed but need_input), -1 when it could not be corrected or lies beyond
// what the ring can ever hold (nothing appended). ar_corrected and
// ar_erased tell what the codec was last given and returned.
int get_block_majority(Decoder& d);

// Corrects the 16 unmasked symbols of a block in place with rs. margins
// holds the majority margin of each of their 80 bits (symbol by symbol,
// least significant bit first); a correction costs the margins of the bits
// it changes. Decodes with errors only, then with the 1, 2, 3 and 4
// symbols of lowest trust as erasures (see least_trusted), and takes the
// cheapest codeword found, if it costs at most max_cost. Returns the
// codec's count for it (0 when the block was clean), or -1 with symbols
// unchanged; erased gets the erasures it was found with.
int correct_with_erasures(const rs_codec* rs, unsigned char* symbols, const unsigned char* margins,
                          int max_cost, int& erased);

// The full-length codec positions of the count symbols of lowest trust
// (count 0 .. 4), lowest first, ties to the earlier symbol. A symbol is
// trusted as far as its narrowest majority, then by its bits' margins
// summed; margins as for correct_with_erasures.
void least_trusted(const unsigned char* margins, int count, int32_t* positions);

}  // namespace morvix
