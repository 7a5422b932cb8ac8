// SPDX-License-Identifier: Apache-2.0
// Reed-Solomon encoding with a codec from init_rs_char: the inverse of
// decode_rs_char, used by the signal generator.
#pragma once

#include "fec/init_rs.h"

namespace morvix {

// Systematic encoding of one shortened word: data[0 .. n - 1] are the data
// symbols (n = full_length - pad_count - parity_count, highest-order
// coefficient first, each below 2^m), and parity[0 .. parity_count - 1]
// receives the remainder of data(x) * x^parity_count divided by the code's
// generator, so that data followed by parity is a codeword. Allocates nothing.
void encode_rs_char(const rs_codec* rs, const unsigned char* data, unsigned char* parity);

}  // namespace morvix
