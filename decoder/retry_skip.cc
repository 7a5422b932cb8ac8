// SPDX-License-Identifier: Apache-2.0
#include "decoder/retry_skip.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "decoder/sample_ring.h"

namespace morvix {

namespace {

// 64 samples from offset samples after bit 7 of ring byte start, the
// first in bit 63; at least the top 57 are the ring's (the rest are 0).
uint64_t samples_at(const Decoder& d, int start, long offset) {
  long byte = (start + offset / 8) % d.ring.ring_bytes;
  uint64_t w = 0;
  if (byte + 8 <= d.ring.ring_bytes) {
    std::memcpy(&w, d.ring.rxbits.get() + byte, sizeof w);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  } else {
    for (int i = 0; i < 8; ++i) {
      w = (w << 8) | d.ring.rxbits[static_cast<size_t>(byte)];
      if (++byte == d.ring.ring_bytes) byte = 0;
    }
  }
  return w << (offset % 8);
}

}  // namespace

int identical_phases(const Decoder& d, long line_bits, int limit, long ahead) {
  // Samples from bit 7 of brdp to the last sample the last phase reads.
  const long first = 7 - d.ring.brdb + ahead;
  const long arrived = 8L * d.ring.brx_count - 1 - (first + (line_bits - 1) * d.ring.sps);
  int run = static_cast<int>(std::min<long>(limit, arrived));
  for (long i = 0; i < line_bits && run > 0; ++i) {
    const uint64_t w = samples_at(d, d.ring.brdp, first + i * d.ring.sps);
    // Leading samples equal to the first: the phases that read it alike.
    const uint64_t differs = w ^ (0 - (w >> 63));
    const int same = differs == 0 ? 64 : __builtin_clzll(differs);
    run = std::min(run, same - 1);
  }
  return std::max(run, 0);
}

void skip_identical_retries(Decoder& d) {
  if (!d.checker.skip_retries) return;
  // Only retries (before retry_until) are read literally alone; later
  // phases are a new sync word, which the improved reading may read.
  const int64_t retries = d.stats.retry_until - 1 - d.quality.sample;
  if (retries <= 0) return;
  // The reading used the line bits from the sync word up to the block position.
  const long ahead = d.improved_reading ? d.soft.ahead : 0;
  const long read_samples =
      8L * ahead_of_search(d.ring, d.ring.bbp) + (7 - d.ring.bbb) - (7 - d.ring.brdb) - ahead;
  const long line_bits = read_samples / d.ring.sps;
  const int skip =
      identical_phases(d, line_bits, static_cast<int>(std::min<int64_t>(retries, 56)), ahead);
  // Move the search position on by skip samples.
  const int bits = 7 - d.ring.brdb + skip;
  d.ring.brdp = (d.ring.brdp + bits / 8) % d.ring.ring_bytes;
  d.ring.brx_count -= bits / 8;
  d.ring.brdb = 7 - bits % 8;
}

}  // namespace morvix
