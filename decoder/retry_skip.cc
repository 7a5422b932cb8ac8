// SPDX-License-Identifier: Apache-2.0
#include "decoder/retry_skip.h"

#include <algorithm>
#include <bit>

#include "decoder/sample_ring.h"

namespace morvix {

int identical_phases(const SampleRing& r, long line_bits, int limit, long ahead) {
  // Samples from bit 7 of brdp to the last sample the last phase reads.
  const long first = 7 - r.brdb + ahead;
  const long arrived = 8L * r.brx_count - 1 - (first + (line_bits - 1) * r.sps);
  int run = static_cast<int>(std::min<long>(limit, arrived));
  const RingWords words(r);
  for (long i = 0; i < line_bits && run > 0; ++i) {
    const uint64_t w = words.at(first + i * r.sps);
    // Leading samples equal to the first: the phases that read it alike.
    const uint64_t differs = w ^ (0 - (w >> 63));
    const int same = differs == 0 ? 64 : std::countl_zero(differs);
    run = std::min(run, same - 1);
  }
  return std::max(run, 0);
}

void skip_identical_retries(SampleRing& r, int64_t retries, long ahead) {
  if (retries <= 0) return;
  // The reading used the line bits from the sync word up to the block position.
  const long read_samples = 8L * ahead_of_search(r, r.bbp) + (7 - r.bbb) - (7 - r.brdb) - ahead;
  const long line_bits = read_samples / r.sps;
  const int skip = identical_phases(
      r, line_bits, static_cast<int>(std::min<int64_t>(retries, kRingWordSamples - 1)), ahead);
  move_search(r, 7 - r.brdb + skip);
}

}  // namespace morvix
