// SPDX-License-Identifier: Apache-2.0
// Counts per time bucket (a second, a minute) over the last N buckets, in a
// fixed ring: a bucket nothing was counted in reads 0, however long ago the
// last count was.
#pragma once

#include <algorithm>
#include <cstdint>

namespace morvix {

template <int N>
struct BucketRing {
  uint32_t counts[N] = {};
  int64_t newest = 0;  // the newest bucket counted in
};

// Counts one in bucket `at` (>= 0) of a clock that never steps back; a bucket
// older than the newest (a clock set back, in tests) counts in the newest.
template <int N>
void bucket_add(BucketRing<N>& r, int64_t at) {
  // Buckets passed over since the newest count 0.
  for (int64_t b = std::max(r.newest + 1, at - N + 1); b <= at; ++b) r.counts[b % N] = 0;
  r.newest = std::max(r.newest, at);
  ++r.counts[r.newest % N];
}

// What bucket `at` holds: 0 unless it is one of the last N up to the newest.
template <int N>
uint32_t bucket_count(const BucketRing<N>& r, int64_t at) {
  if (at < 0 || at > r.newest || at <= r.newest - N) return 0;
  return r.counts[at % N];
}

}  // namespace morvix
