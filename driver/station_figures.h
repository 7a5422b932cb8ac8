// SPDX-License-Identifier: Apache-2.0
// Figures the status page and the journal show beyond the plain counters:
// frames in the last 60 seconds, the last frames passed on with their
// quality, and the watch for sync words that never give a frame. All in
// fixed storage: nothing here allocates.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "decoder/decoder.h"
#include "runtime/bucket_ring.h"

namespace morvix {

constexpr int kWindowSeconds = 60;  // "the last minute": this many one-second buckets
constexpr int kRecentFrames = 20;   // frames the page and /stats.json list
// The watch looks at the last few keepalive ticks (about a minute each).
constexpr int kWatchTicks = 5;
// Samples without a frame over fewer ticks than this could be a sender
// between transmissions.
constexpr int kWatchMinTicks = 2;
constexpr int kHintRepeatSeconds = 3600;  // the journal repeats a standing hint this seldom

// Which hint stands, if any.
enum class Hint {
  kNone,
  kNoFrames,      // samples arrive, no frame decodes: -s or the polarity
  kInputStopped,  // no samples at all for a tick or more
};

// One frame passed on, as the decoder read it.
struct RecentFrame {
  int64_t time = 0;  // time() when it was passed on, Unix seconds
  int length = 0;    // bytes
  int blocks = 0;
  int corrections = 0;  // symbols corrected, all blocks
  int sync_wrong_bits = 0;
  SoftQuality soft;  // the improved reading's figures, when it decoded the frame
  unsigned char frame[kMaxFrameBytes] = {};
};

struct StationFigures {
  // Frames passed on per second of clock_now(), the last kWindowSeconds.
  BucketRing<kWindowSeconds> seconds;

  // The last kRecentFrames frames passed on: `recent_count` of them,
  // the oldest at recent_next - recent_count (mod kRecentFrames).
  RecentFrame recent[kRecentFrames];
  int recent_next = 0;
  int recent_count = 0;

  // Samples, sync words and frames decoded in each of the last kWatchTicks
  // ticks, and the counters as they stood at the last tick.
  int64_t watch_samples[kWatchTicks] = {};
  int64_t watch_sync[kWatchTicks] = {};
  int64_t watch_frames[kWatchTicks] = {};
  int watch_next = 0;
  int watch_ticks = 0;  // ticks watched so far, up to kWatchTicks
  int64_t watch_samples_at = 0;
  int64_t watch_sync_at = 0;
  int64_t watch_frames_at = 0;
  std::time_t watched_at = 0;    // clock_now() of the last tick watched; 0: none yet
  std::time_t silent_since = 0;  // since when no sample has come (a tick's time); 0: they come
  int input_port = 0;            // the bitstream input's UDP port, which the hint names
  Hint hint = Hint::kNone;       // the hint standing
  int64_t hint_sync_words = 0;   // sync words in the window, for kNoFrames
  std::time_t hint_printed = 0;  // clock_now() of its last journal line; 0: never
};

// Counts a frame passed on at now (clock_now()) and keeps it with its
// quality and wall-clock time.
void note_frame_passed(StationFigures& f, const Decoder& d, std::time_t now, int64_t wall);

// Frames passed on in the kWindowSeconds seconds up to and including now.
uint32_t frames_last_minute(const StationFigures& f, std::time_t now);

// The i-th recent frame, 0 the oldest, for i below recent_count.
const RecentFrame& recent_frame(const StationFigures& f, int i);

// At a keepalive tick: takes the tick's samples, sync words and frames
// decoded into the watch and decides which hint stands: kInputStopped when
// no sample came since the last tick, kNoFrames when samples came over at
// least kWatchMinTicks ticks and no frame decoded in the window (however
// few sync words: an inverted stream gives only the strays of noise). A hint
// is written to journal (standard error) when it starts to stand, and again
// while it stands once kHintRepeatSeconds have passed. Returns 1 when it
// wrote the line.
int watch_sync_words(StationFigures& f, const Decoder& d, std::time_t now, std::FILE* journal);

// The standing hint as one line without newline, into out (cap bytes), or
// "" when none stands; the page shows the same text the journal does.
void hint_text(const StationFigures& f, const Decoder& d, char* out, size_t cap);

}  // namespace morvix
