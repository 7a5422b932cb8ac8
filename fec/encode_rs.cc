// SPDX-License-Identifier: Apache-2.0
#include "fec/encode_rs.h"

namespace morvix {

void encode_rs_char(const rs_codec* rs, const unsigned char* data, unsigned char* parity) {
  const int zero = rs->full_length;
  const int nroots = rs->parity_count;
  const int n = rs->full_length - rs->pad_count - nroots;
  // parity[0] is the highest-order remainder coefficient; each data symbol
  // shifts the remainder up and folds the feedback in through g(x), whose
  // log-form coefficients are stored constant term first.
  for (int j = 0; j < nroots; ++j) parity[j] = 0;
  for (int i = 0; i < n; ++i) {
    const int feedback = rs->log_table[(data[i] ^ parity[0]) & zero];
    for (int j = 0; j < nroots; ++j) {
      const unsigned char next = j < nroots - 1 ? parity[j + 1] : 0;
      const int g = rs->generator[nroots - 1 - j];
      parity[j] =
          feedback == zero || g == zero
              ? next
              : static_cast<unsigned char>(next ^ rs->exp_table[rs_reduce(*rs, feedback + g)]);
    }
  }
}

}  // namespace morvix
