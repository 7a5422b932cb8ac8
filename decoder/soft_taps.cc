// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_taps.h"

#include <bit>
#include <cmath>

#include "decoder/decoder.h"

namespace morvix {

#if defined(__x86_64__)
const bool kSoftHasPext = [] {
  __builtin_cpu_init();  // may run before the library's own constructors
  return __builtin_cpu_supports("bmi2") != 0;
}();
#else
const bool kSoftHasPext = false;
#endif

void plan_soft_taps(SoftReader& s, int max_read) {
  s.decimated = s.span > max_read;
  s.reads = 0;
  // A read starts at the first middle sample the last read does not reach;
  // its mask has the earliest sample in bit read_len - 1 (as reads return).
  for (int pass = 0; pass < 2 && s.decimated; ++pass) {
    for (int i = 0, r = -1; i < kSoftTaps; ++i) {
      const int pick = (s.slot[i] + s.slot[i + 1] - 1) / 2;
      if (pass == 1) {
        while (pick >= s.read_at[r + 1] + s.read_len[r + 1]) ++r;
        s.read_mask[r + 1] |= uint64_t{1} << (s.read_at[r + 1] + s.read_len[r + 1] - 1 - pick);
      } else if (r < 0 || pick >= s.read_at[r] + max_read) {
        s.reads = ++r + 1;
        s.read_at[r] = pick, s.read_len[r] = 1, s.read_mask[r] = 0, s.read_picks[r] = 1;
      } else {
        s.read_len[r] = pick - s.read_at[r] + 1, ++s.read_picks[r];
      }
    }
  }
}

namespace {

// A set's table from its weights.
void make_table(SoftReader& s, WeightSet& set) {
  const double* w = set.learner.w;
  for (int c = 0; c < s.chunks; ++c) {
    // Each sample's weight (its tap's, shared by the tap's samples); a
    // sample of 0 (a line bit of 1) adds it, a sample of 1 takes it away.
    double weight[8] = {};
    double all_zero = 0;
    for (int k = 0; k < 8; ++k) {
      const int o = 8 * c + k;
      if (s.decimated) {
        if (o >= kSoftTaps) break;
        weight[k] = w[o] * kSoftUnit;
        all_zero += weight[k];
        continue;
      }
      if (o >= s.span) break;
      int tap = 0;
      while (s.slot[tap + 1] <= o) ++tap;
      weight[k] = w[tap] / (s.slot[tap + 1] - s.slot[tap]) * kSoftUnit;
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

void soft_refresh(Decoder& d) {
  for (int k = 0; k < kBankSets; ++k) {
    if (d.soft.bank.sets[k].stale && d.soft.bank.sets[k].kind != SetKind::kUnused) {
      make_table(d.soft, d.soft.bank.sets[k]);
    }
  }
}

}  // namespace morvix
