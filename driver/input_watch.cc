// SPDX-License-Identifier: Apache-2.0
#include "driver/input_watch.h"

#include <algorithm>

namespace morvix {

int64_t idle_limit_ms(const InputWatch& w) {
  if (w.gaps_kept == 0) return kMinIdleMs;
  int64_t sorted[kInputGapsKept];
  std::copy(w.gaps, w.gaps + w.gaps_kept, sorted);
  std::sort(sorted, sorted + w.gaps_kept);
  const int64_t usual = sorted[std::min(w.gaps_kept - 1, w.gaps_kept * 9 / 10)];
  return std::clamp<int64_t>(2 * usual, kMinIdleMs, kMaxIdleMs);
}

void note_input(InputWatch& w, int64_t bytes_in, int64_t now_ms) {
  if (bytes_in == w.bytes_seen) return;
  // A silence longer than any limit is a pause between transmissions, not
  // the source's pace.
  if (w.last_ms >= 0 && now_ms - w.last_ms <= kMaxIdleMs) {
    w.gaps[w.gap_next] = now_ms - w.last_ms;
    w.gap_next = (w.gap_next + 1) % kInputGapsKept;
    w.gaps_kept = std::min(w.gaps_kept + 1, kInputGapsKept);
    w.limit_ms = idle_limit_ms(w);
  }
  w.bytes_seen = bytes_in;
  w.last_ms = now_ms;
  w.ended = false;
}

int input_idle(InputWatch& w, int64_t now_ms) {
  if (w.ended || w.last_ms < 0 || now_ms - w.last_ms < w.limit_ms) return 0;
  w.ended = true;
  return 1;
}

int idle_wait_ms(const InputWatch& w, int64_t now_ms, int cap) {
  if (w.ended || w.last_ms < 0) return cap;
  return static_cast<int>(std::clamp<int64_t>(w.last_ms + w.limit_ms - now_ms, 0, cap));
}

}  // namespace morvix
