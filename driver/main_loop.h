// SPDX-License-Identifier: Apache-2.0
// The main loop's own work: repeat suppression, the frame dump, relaying,
// the keepalive clock, and the one wait that serves every socket.
#pragma once

#include <cstdint>
#include <ctime>

#include "decoder/decoder.h"
#include "decoder/frame_dump.h"
#include "driver/input_watch.h"
#include "driver/station_figures.h"
#include "driver/station_log.h"
#include "driver/station_ports.h"
#include "net/client_table.h"
#include "runtime/bucket_ring.h"

namespace morvix {

struct StatusHttp;
struct UpstreamLookup;

constexpr int kTickSeconds = 60;  // a tick comes once more than this has passed
constexpr int kTicksPerIdentity = 16;
// Each pass gives the decoder at most this many steps before the sockets
// are looked at again, so a flooded input cannot starve the other peers.
constexpr int kDecoderStepsPerPass = 64;
// Longest wait for any socket while the decoder needs input; the keepalive
// clock is looked at after every wait.
constexpr int kIdleWaitMs = 1000;
constexpr int kMinutesKept = 60;  // frames per minute are kept for the last hour

struct LoopState {
  int dump = 0;               // -d: print every frame passed on
  int64_t dump_counter = 0;   // the number the next printed frame gets
  std::time_t last_tick = 0;  // clock_now() at the last tick, or at start-up
  int tick_counter = 0;       // ticks since the last identity announcement
  PreviousFrame previous;     // the last frame passed on
  int verbose = 0;            // -v: the station's work on standard error

  // What the loop counts, for the metrics and -v.
  int64_t frames_relayed = 0;        // frames passed on
  int64_t frames_repeated = 0;       // repeats dropped
  std::time_t start = 0;             // clock_now() at start-up
  std::time_t start_wall = 0;        // time() at start-up, for people
  std::time_t last_frame = 0;        // clock_now() of the last frame passed on; 0: none yet
  std::time_t last_frame_wall = 0;   // time() of the same
  BucketRing<kMinutesKept> minutes;  // frames passed on per minute of clock_now()
  InputWatch input;                  // when the source has stopped: the end of a transmission
  StationFigures figures;            // the last minute, recent frames, the sync word watch
  TickLog log;
  StatusHttp* http = nullptr;        // -m: the status listener, else null
  UpstreamLookup* lookup = nullptr;  // the upstream server's lookups; null: none (-u off)
  StationPorts ports;                // the listening sockets, for the status pages
  int hangup_fd = -1;                // SIGHUP's signalfd (hangup_open); -1: none
};

// Frames passed on in the minute `ago` minutes before the minute of now
// (0: that minute so far), for ago 0 .. kMinutesKept - 1.
uint32_t frames_in_minute(const LoopState& loop, std::time_t now, int ago);

// Passes on the decoded frame in d.block.frame unless it repeats the last frame
// passed on: dumps it when asked ("rx: #%d " and "%02x " per byte, flushed),
// relays it while active_clients is set, and records it. Returns 1 when it
// was passed on, 0 for a repeat. Counts either way.
int handle_frame(LoopState& loop, const Decoder& d, Distribution& dist);

// Runs a tick when more than kTickSeconds have passed since the last: every
// 16th tick re-sends the identity to the address known and starts a lookup
// of the upstream server (to find it, or to follow it when it moves; the
// answer may come in a later pass), then keepalives and expiry.
// Returns 1 when a tick ran.
int keepalive_clock(LoopState& loop, Distribution& dist);

// One pass: decoder steps until it needs input (at most
// kDecoderStepsPerPass), passing on every frame; then one wait on the input,
// the announcement listener and the distribution socket (no wait while the
// decoder can go on, at most kIdleWaitMs otherwise), the status listener and
// the lookup's sockets and SIGHUP's descriptor joining it when there are
// any, the wait ending by the lookup's next time-out or when the input's
// silence reaches the idle limit (input_watch.h: the end of a transmission,
// told to the decoder with input_ended, so that the next pass finishes the
// frame under way; nothing else about the input's pace changes what is
// decoded); then the lookup's answers, a SIGHUP (hangup_reload), a bounded
// share of port announcements
// and of the distribution socket, whichever is ready, the status listener's
// requests, and the keepalive clock (the input's drop count read; with -v,
// its line; and the watch for sync words without frames, whose hint goes
// to standard error).
// Liveness: a pass that begins with input waiting (input_waiting) takes
// some of it into the ring, moves the search on, reads a block or hands
// out a frame; its poll waits only when the decoder asked for input and
// none was waiting (get_data_frame), so queued input is never left unread.
void main_pass(LoopState& loop, Decoder& d, Distribution& dist);

}  // namespace morvix
