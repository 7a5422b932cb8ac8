// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_taps.h"

#include <bit>
#include <cmath>

#include "decoder/sample_ring.h"

namespace morvix {

#if defined(__x86_64__)
const bool kSoftHasPext = [] {
  __builtin_cpu_init();  // may run before the library's own constructors
  return __builtin_cpu_supports("bmi2") != 0;
}();
#else
const bool kSoftHasPext = false;
#endif

namespace {

// The middle sample of tap i's slot, from the value's first sample.
int tap_pick(const SoftTaps& t, int i) { return (t.slot[i] + t.slot[i + 1] - 1) / 2; }

// The reads that gather the taps' middle samples: a read starts at the
// first one the last read does not reach.
void plan_reads(SoftTaps& t) {
  t.reads = 0;
  for (int i = 0; i < kSoftTaps; ++i) {
    const int pick = tap_pick(t, i);
    const int last = t.reads - 1;
    if (last >= 0 && pick < t.read_at[last] + kRingWordSamples) {
      t.read_len[last] = pick - t.read_at[last] + 1;
      ++t.read_picks[last];
      continue;
    }
    t.read_at[t.reads] = pick;
    t.read_len[t.reads] = 1;
    t.read_mask[t.reads] = 0;
    t.read_picks[t.reads] = 1;
    ++t.reads;
  }
  // Each pick's bit in its read, the earliest sample in bit read_len - 1
  // (as a RingWords read returns them).
  for (int i = 0, r = 0; i < kSoftTaps; ++i) {
    const int pick = tap_pick(t, i);
    while (pick >= t.read_at[r] + t.read_len[r]) ++r;
    t.read_mask[r] |= uint64_t{1} << (t.read_at[r] + t.read_len[r] - 1 - pick);
  }
}

// A set's table from its weights.
void make_table(const SoftTaps& t, WeightSet& set) {
  const double* w = set.learner.w;
  for (int c = 0; c < t.chunks; ++c) {
    // Each sample's weight (its tap's, shared by the tap's samples); a
    // sample of 0 (a line bit of 1) adds it, a sample of 1 takes it away.
    double weight[8] = {};
    double all_zero = 0;
    for (int k = 0; k < 8; ++k) {
      const int o = 8 * c + k;
      if (t.decimated) {
        if (o >= kSoftTaps) break;
        weight[k] = w[o] * kSoftUnit;
        all_zero += weight[k];
        continue;
      }
      if (o >= t.span) break;
      int tap = 0;
      while (t.slot[tap + 1] <= o) ++tap;
      weight[k] = w[tap] / (t.slot[tap + 1] - t.slot[tap]) * kSoftUnit;
      all_zero += weight[k];
    }
    int32_t* row = set.table + c * 256;
    double part[256];
    part[0] = all_zero;
    for (int b = 1; b < 256; ++b) {
      const int low = std::countr_zero(static_cast<unsigned>(b));
      part[b] = part[b & (b - 1)] - 2 * weight[7 - low];
    }
    for (int b = 0; b < 256; ++b) {
      row[b] = static_cast<int32_t>(part[b] + (part[b] < 0 ? -0.5 : 0.5));
    }
  }
  set.constant = static_cast<int32_t>(std::lround(w[kSoftTaps] * kSoftUnit));
  set.stale = false;
}

}  // namespace

void plan_soft_taps(SoftTaps& t, int sps) {
  t.span = 3 * sps;
  for (int i = 0; i <= kSoftTaps; ++i) t.slot[i] = i * sps / 10;
  t.decimated = t.span > kRingWordSamples;
  if (t.decimated) {
    plan_reads(t);
  } else {
    t.reads = 0;
  }
  t.chunks = ((t.decimated ? kSoftTaps : t.span) + 7) / 8;
}

void soft_values_setup(SoftValues& v, int sps) {
  plan_soft_taps(v.taps, sps);
  bank_reset(v.bank, v.taps.chunks * 256);
  soft_refresh(v);
}

void soft_refresh(SoftValues& v) {
  for (WeightSet& set : v.bank.sets) {
    if (set.stale && set.kind != SetKind::kUnused) make_table(v.taps, set);
  }
}

}  // namespace morvix
