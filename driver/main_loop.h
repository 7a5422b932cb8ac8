// The main loop's own work: repeat suppression, the frame dump, relaying,
// and the keepalive clock.
#pragma once

#include <ctime>

#include "decoder/decoder.h"
#include "net/client_table.h"

namespace morvix {

constexpr int kTickSeconds = 60;  // a tick comes once more than this has passed
constexpr int kTicksPerIdentity = 16;

struct LoopState {
  int dump = 0;                             // -d: print every frame passed on
  int dump_counter = 0;                     // the number the next printed frame gets
  std::time_t last_tick = 0;                // clock_now() at the last tick, or at start-up
  int tick_counter = 0;                     // ticks since the last identity announcement
  unsigned char prev_frame[kFrameBytes]{};  // the last frame passed on
  int prev_framelen = 0;  // its length; 0: nothing passed on yet, so nothing is a repeat
};

// Passes on the decoded frame in d.frame unless it repeats the last frame
// passed on: dumps it when asked ("rx: #%d " and "%02x " per byte, flushed),
// relays it while active_clients is set, and records it. Returns 1 when it
// was passed on, 0 for a repeat.
int handle_frame(LoopState& loop, const Decoder& d, const Distribution& dist);

// Runs a tick when more than kTickSeconds have passed since the last:
// every 16th tick re-sends the identity, then keepalives and expiry.
// Returns 1 when a tick ran.
int keepalive_clock(LoopState& loop, Distribution& dist);

// One pass: frames until the decoder has none ready, one port announcement,
// the distribution socket drain, the keepalive clock.
void main_pass(LoopState& loop, Decoder& d, Distribution& dist);

}  // namespace morvix
