// SPDX-License-Identifier: Apache-2.0
#include "driver/station_figures.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace morvix {

void note_frame_passed(StationFigures& f, const Decoder& d, std::time_t now, int64_t wall) {
  // Seconds without frames since the newest bucket count 0; a clock set
  // back (only in tests) lands in the newest bucket.
  for (int64_t s = std::max(f.second + 1, static_cast<int64_t>(now) - kWindowSeconds + 1); s <= now;
       ++s) {
    f.second_frames[s % kWindowSeconds] = 0;
  }
  f.second = std::max<int64_t>(f.second, now);
  ++f.second_frames[f.second % kWindowSeconds];

  RecentFrame& r = f.recent[f.recent_next];
  const FrameQuality& q = d.quality;
  r.time = wall;
  r.length = std::min(d.checker.framelen, kMaxFrameBytes);
  r.blocks = q.blocks;
  r.corrections = q.corrected_total;
  r.sync_wrong_bits = q.sync_wrong_bits;
  r.soft = q.soft;
  std::memcpy(r.frame, d.block.frame, static_cast<size_t>(r.length));
  f.recent_next = (f.recent_next + 1) % kRecentFrames;
  f.recent_count = std::min(f.recent_count + 1, kRecentFrames);
}

uint32_t frames_last_minute(const StationFigures& f, std::time_t now) {
  uint32_t sum = 0;
  for (int64_t s = std::max<int64_t>(0, now - kWindowSeconds + 1); s <= now; ++s) {
    if (s > f.second || s <= f.second - kWindowSeconds) continue;
    sum += f.second_frames[s % kWindowSeconds];
  }
  return sum;
}

const RecentFrame& recent_frame(const StationFigures& f, int i) {
  return f.recent[(f.recent_next - f.recent_count + i + kRecentFrames) % kRecentFrames];
}

int watch_sync_words(StationFigures& f, const Decoder& d, std::time_t now, std::FILE* journal) {
  const DecoderStats& s = d.stats;
  f.watch_sync[f.watch_next] = s.sync_words - f.watch_sync_at;
  f.watch_frames[f.watch_next] = s.frames_decoded - f.watch_frames_at;
  f.watch_next = (f.watch_next + 1) % kWatchTicks;
  f.watch_sync_at = s.sync_words;
  f.watch_frames_at = s.frames_decoded;

  int64_t sync_words = 0;
  int64_t frames = 0;
  for (int i = 0; i < kWatchTicks; ++i) {
    sync_words += f.watch_sync[i];
    frames += f.watch_frames[i];
  }
  f.hint_standing = sync_words >= kWatchMinSyncWords && frames == 0;
  f.hint_sync_words = sync_words;
  if (!f.hint_standing) {
    f.hint_printed = 0;  // when it comes back, it is news again
    return 0;
  }
  if (f.hint_printed != 0 && now - f.hint_printed < kHintRepeatSeconds) return 0;
  char text[256];
  hint_text(f, d, text, sizeof text);
  std::fprintf(journal, "%s\n", text);
  f.hint_printed = now;
  return 1;
}

void hint_text(const StationFigures& f, const Decoder& d, char* out, size_t cap) {
  if (!f.hint_standing) {
    if (cap > 0) out[0] = '\0';
    return;
  }
  std::snprintf(out, cap,
                "hint: %" PRId64
                " sync words but no frame decoded over the last few minutes: check -s (now %d): "
                "is it the source's samples per bit?",
                f.hint_sync_words, d.ring.sps);
}

}  // namespace morvix
