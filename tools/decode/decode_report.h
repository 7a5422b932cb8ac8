// SPDX-License-Identifier: Apache-2.0
// What morvix-decode tells a person on standard error: a progress line while
// it works through a long input, and the --stats summary at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "decoder/decoder_stats.h"
#include "decoder/sample_ring.h"
#include "tools/decode/decode_output.h"

namespace morvix::decode {

using Clock = std::chrono::steady_clock;

// Seconds from start to now.
double seconds_since(Clock::time_point start);

struct Progress {
  std::FILE* to = stderr;
  bool on = false;     // to is a terminal
  int64_t total = -1;  // input bytes, -1 when not known (a pipe)
  Clock::time_point start;
  Clock::time_point next;  // no refresh before this
  size_t shown = 0;        // length of the line on the terminal, 0: none
};

// Starts the clock; the line is drawn only while to is a terminal, first
// after half a second, so short inputs show nothing.
void progress_start(Progress& p, std::FILE* to, int64_t total);

// Redraws the line with \r (bytes done, rate, time left when the total is
// known), at most four times a second.
void progress_update(Progress& p, int64_t done);

// Blanks the line, if one was drawn, and leaves the cursor at its start.
void progress_end(Progress& p);

// The progress line's text after done bytes in seconds, of total bytes (-1:
// unknown), e.g. "412.0 MiB of 1024.0 MiB (40 %), 1034 M samples/s, 0:05 left".
std::string progress_text(int64_t done, int64_t total, double seconds);

// The --stats summary: bytes and samples read, time and rate, sync words by
// wrong bits, frames decoded (new, repeats) and rejected by reason,
// corrections; from the input's and the decoder's counters and the output's.
void print_summary(std::FILE* to, const SampleRing& input, const DecoderStats& s, const Output& out,
                   int64_t bytes, double seconds);

}  // namespace morvix::decode
