// SPDX-License-Identifier: Apache-2.0
// -v: the lines that show an operator the station working, on standard
// error (standard output keeps exactly the console lines of the design).
#pragma once

#include <cstdint>
#include <ctime>

#include "decoder/decoder.h"
#include "net/client_table.h"

namespace morvix {

// The counters as they stood at the last tick, so that each tick's line
// tells what happened since.
struct TickLog {
  std::time_t at = 0;  // clock_now() of the last line, or of start-up
  int64_t samples = 0;
  int64_t dropped = 0;
  int64_t truncated = 0;
  int64_t sync_words = 0;
  int64_t relayed = 0;
  int64_t repeated = 0;
  int64_t decoded = 0;
  int64_t improved = 0;
  int64_t rejected_header = 0;
  int64_t rejected_frame_crc = 0;
  int64_t rejected_uncorrectable = 0;
  int64_t corrected = 0;
};

// One line at start-up: the three ports, samples per bit, slots, whether
// correction is on, the reading (literal, or soft with -a), the upstream server's name and
// address (or that it was not found), and the status page's address when there is one (port 0:
// none). Starts the tick log at now.
void log_start(TickLog& log, const Decoder& d, const Distribution& dist, int rx_port,
               uint32_t http_addr, int http_port, std::time_t now);

// One line per keepalive tick: samples per second, kernel drops, frames
// relayed and repeated, rejected by reason, symbols corrected (all since the
// last line), clients and the upstream feed; then a hint when samples came
// but no sync word, or datagrams were cut.
void log_tick(TickLog& log, const Decoder& d, const Distribution& dist, int64_t relayed,
              int64_t repeated, std::time_t now);

}  // namespace morvix
