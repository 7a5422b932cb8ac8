// The main loop's own work: repeat suppression, the frame dump, relaying,
// the keepalive clock, and the one wait that serves every socket.
#pragma once

#include <cstdint>
#include <ctime>

#include "decoder/decoder.h"
#include "net/client_table.h"

namespace morvix {

constexpr int kTickSeconds = 60;  // a tick comes once more than this has passed
constexpr int kTicksPerIdentity = 16;
// Each pass gives the decoder at most this many steps before the sockets
// are looked at again, so a flooded input cannot starve the other peers.
constexpr int kDecoderStepsPerPass = 64;
// Longest wait for any socket while the decoder needs input; the keepalive
// clock is looked at after every wait.
constexpr int kIdleWaitMs = 1000;

struct LoopState {
  int dump = 0;                             // -d: print every frame passed on
  int64_t dump_counter = 0;                 // the number the next printed frame gets
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

// Runs a tick when more than kTickSeconds have passed since the last: every
// 16th tick looks the upstream server up again while it has never been
// found and re-sends the identity, then keepalives and expiry.
// Returns 1 when a tick ran.
int keepalive_clock(LoopState& loop, Distribution& dist);

// One pass: decoder steps until it needs input (at most
// kDecoderStepsPerPass), passing on every frame; then one wait on the input,
// the announcement listener and the distribution socket (no wait while the
// decoder can go on, at most kIdleWaitMs otherwise); then a bounded share of
// port announcements and of the distribution socket, whichever is ready,
// and the keepalive clock.
void main_pass(LoopState& loop, Decoder& d, Distribution& dist);

}  // namespace morvix
