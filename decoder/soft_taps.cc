// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_taps.h"

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

}  // namespace morvix
