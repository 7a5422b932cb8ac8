// SPDX-License-Identifier: Apache-2.0
#include "driver/station_figures.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "runtime/clock.h"

namespace morvix {

void note_frame_passed(StationFigures& f, const Decoder& d, std::time_t now, int64_t wall) {
  bucket_add(f.seconds, now);

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
  for (int ago = 0; ago < kWindowSeconds; ++ago) sum += bucket_count(f.seconds, now - ago);
  return sum;
}

const RecentFrame& recent_frame(const StationFigures& f, int i) {
  return f.recent[(f.recent_next - f.recent_count + i + kRecentFrames) % kRecentFrames];
}

int watch_sync_words(StationFigures& f, const Decoder& d, std::time_t now, std::FILE* journal) {
  const DecoderStats& s = d.stats;
  const int64_t samples = input_samples(d.ring) - f.watch_samples_at;
  f.watch_samples[f.watch_next] = samples;
  f.watch_sync[f.watch_next] = s.sync_words - f.watch_sync_at;
  f.watch_frames[f.watch_next] = s.frames_decoded - f.watch_frames_at;
  f.watch_next = (f.watch_next + 1) % kWatchTicks;
  f.watch_ticks = std::min(f.watch_ticks + 1, kWatchTicks);
  f.watch_samples_at = input_samples(d.ring);
  f.watch_sync_at = s.sync_words;
  f.watch_frames_at = s.frames_decoded;
  // Before the first tick the last sample came at least a tick's minute ago.
  if (samples > 0) {
    f.silent_since = 0;
  } else if (f.silent_since == 0) {
    f.silent_since = f.watched_at != 0 ? f.watched_at : now - kWindowSeconds;
  }
  f.watched_at = now;

  int64_t sync_words = 0;
  int64_t frames = 0;
  int ticks_with_samples = 0;
  for (int i = 0; i < kWatchTicks; ++i) {
    sync_words += f.watch_sync[i];
    frames += f.watch_frames[i];
    ticks_with_samples += f.watch_samples[i] > 0;
  }
  Hint hint = Hint::kNone;
  if (samples == 0) {
    hint = Hint::kInputStopped;
  } else if (frames == 0 && ticks_with_samples >= kWatchMinTicks) {
    hint = Hint::kNoFrames;
  }
  f.hint_sync_words = sync_words;
  if (hint != f.hint) f.hint_printed = 0;  // a new hint, or one back, is news
  f.hint = hint;
  if (hint == Hint::kNone) return 0;
  if (f.hint_printed != 0 && now - f.hint_printed < kHintRepeatSeconds) return 0;
  char text[256];
  hint_text(f, d, text, sizeof text);
  std::fprintf(journal, "%s\n", text);
  f.hint_printed = now;
  return 1;
}

void hint_text(const StationFigures& f, const Decoder& d, char* out, size_t cap) {
  switch (f.hint) {
    case Hint::kNoFrames:
      std::snprintf(out, cap,
                    "hint: %" PRId64
                    " sync word%s but no frame decoded over the last few minutes: is -s (now %d) "
                    "the source's samples per bit, and is the polarity right (a sample of 0 is a "
                    "line bit of 1)?",
                    f.hint_sync_words, f.hint_sync_words == 1 ? "" : "s", d.ring.sps);
      return;
    case Hint::kInputStopped: {
      const long long minutes = std::max<long long>(1, (clock_now() - f.silent_since) / 60);
      std::snprintf(out, cap,
                    "hint: no samples have arrived for %lld min%s: is the bitstream source "
                    "running, and does it send to UDP port %d of this host?",
                    minutes, input_samples(d.ring) == 0 ? " (none since start-up)" : "",
                    f.input_port);
      return;
    }
    default:
      if (cap > 0) out[0] = '\0';
      return;
  }
}

}  // namespace morvix
