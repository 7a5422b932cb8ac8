// SPDX-License-Identifier: Apache-2.0
// Errors-and-erasures decoding of one shortened Reed-Solomon codeword.
#pragma once

#include <cstdint>

#include "fec/init_rs.h"

namespace morvix {

// Corrects symbols[0 .. full_length - pad_count - 1] in place; element 0 is the
// highest-order coefficient. erasure_positions (may be null when
// erasure_count is 0) holds full-length positions pad_count .. full_length - 1
// and has room for parity_count entries.
// Returns the number of roots of the error locator (every root counts, also
// erasures whose symbol was right and roots in the pad region, which change
// nothing) and writes their positions into erasure_positions in the order
// found; 0 when nothing needs correcting; -1 when the word is uncorrectable,
// and then neither array is touched. Uses no heap.
int decode_rs_char(const rs_codec* codec, unsigned char* symbols, int32_t* erasure_positions,
                   int erasure_count);

}  // namespace morvix
