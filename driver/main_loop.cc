// SPDX-License-Identifier: Apache-2.0
#include "driver/main_loop.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>

#include "decoder/frame_checker.h"
#include "decoder/sample_ring.h"
#include "driver/hangup.h"
#include "driver/status_http.h"
#include "net/port_announce.h"
#include "net/upstream.h"
#include "net/upstream_lookup.h"
#include "runtime/clock.h"

namespace morvix {

namespace {

void count_frame(LoopState& loop, const Decoder& d) {
  const std::time_t now = clock_now();
  bucket_add(loop.minutes, now / 60);
  ++loop.frames_relayed;
  loop.last_frame = now;
  loop.last_frame_wall = std::time(nullptr);
  note_frame_passed(loop.figures, d, now, loop.last_frame_wall);
}

}  // namespace

uint32_t frames_in_minute(const LoopState& loop, std::time_t now, int ago) {
  return bucket_count(loop.minutes, now / 60 - ago);
}

int handle_frame(LoopState& loop, const Decoder& d, Distribution& dist) {
  const int len = d.checker.framelen;
  if (is_repeat(loop.previous, d.block.frame, len)) {
    ++loop.frames_repeated;
    return 0;
  }
  count_frame(loop, d);
  if (loop.dump) {
    print_dump_line(stdout, loop.dump_counter++, d.block.frame, len);
    std::fflush(stdout);
  }
  if (dist.table.active_clients) send_to_clients(dist, d.block.frame, len);
  remember_frame(loop.previous, d.block.frame, len);
  return 1;
}

int keepalive_clock(LoopState& loop, Distribution& dist) {
  const std::time_t now = clock_now();
  if (now - loop.last_tick <= kTickSeconds) return 0;
  if (++loop.tick_counter >= kTicksPerIdentity) {
    send_vorn_uid(dist);
    // A station that came up while its resolver could not answer finds its
    // server later, and one whose server moves follows it; a new address is
    // announced to as soon as it is known.
    if (loop.lookup != nullptr) lookup_vorn_dns(dist, *loop.lookup);
    loop.tick_counter = 0;
  }
  loop.last_tick = now;
  send_client_keepalives(dist);
  return 1;
}

void main_pass(LoopState& loop, Decoder& d, Distribution& dist) {
  for (int step = 0; step < kDecoderStepsPerPass; ++step) {
    if (get_data_frame(d)) {
      handle_frame(loop, d, dist);
    } else if (d.ring.need_input) {
      break;
    }
  }

  enum {
    kInput,
    kAnnounce,
    kClients,
    kStatus,
    kHangup,
    kLookup,
    kSockets = kLookup + kLookupSockets
  };
  pollfd ready[kSockets] = {{d.ring.dfd, POLLIN, 0},
                            {dist.announce.tfd, POLLIN, 0},
                            {dist.table.cfd, POLLIN, 0},
                            {loop.http != nullptr ? loop.http->fd : -1, POLLIN, 0},
                            {loop.hangup_fd, POLLIN, 0}};
  // Input that is already waiting was read by the decoder's last step; the
  // wait ends as soon as more comes, any other socket has work, or the
  // input has been silent for the idle limit.
  const int64_t now_ms = clock_now_ms();
  note_input(loop.input, d.ring.bytes_in, now_ms);
  int wait_ms = d.ring.need_input ? idle_wait_ms(loop.input, now_ms, kIdleWaitMs) : 0;
  if (loop.lookup != nullptr) {
    wait_ms = lookup_wait(*loop.lookup, ready + kLookup, wait_ms);
  } else {
    for (int i = kLookup; i < kSockets; ++i) ready[i] = {-1, 0, 0};
  }
  const int woken = poll(ready, kSockets, wait_ms);
  if (loop.lookup != nullptr) lookup_serve(*loop.lookup, ready + kLookup);
  if (input_idle(loop.input, clock_now_ms())) input_ended(d.ring);
  if (woken > 0) {
    if (ready[kHangup].revents != 0 && hangup_taken(loop.hangup_fd) > 0) {
      hangup_reload(dist, loop.lookup);
    }
    if (ready[kAnnounce].revents != 0) process_tcp_connections(dist);
    if (ready[kClients].revents != 0) process_udp_rx_clients(dist);
  }
  if (loop.http != nullptr) status_http_run(*loop.http, ready[kStatus].revents != 0);
  if (keepalive_clock(loop, dist)) {
    read_input_drops(d.ring);
    if (loop.verbose) {
      log_tick(loop.log, d, dist, loop.frames_relayed, loop.frames_repeated, loop.last_tick);
    }
    watch_sync_words(loop.figures, d, loop.last_tick, stderr);
  }
}

}  // namespace morvix
