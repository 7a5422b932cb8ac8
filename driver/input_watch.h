// SPDX-License-Identifier: Apache-2.0
// When the bitstream source has stopped: the end of a transmission. Sources
// pace their datagrams their own way (a fast demodulator every few
// milliseconds, a slow link one a second or more), so the input counts as
// idle only once no sample has come for a few of the source's own longer
// gaps, and never sooner than a second; nothing else about the input's pace
// changes what is decoded.
#pragma once

#include <cstdint>

namespace morvix {

constexpr int kMinIdleMs = 1000;   // never idle sooner (the input's own one-second wait)
constexpr int kMaxIdleMs = 10000;  // nor later, however slow the source
constexpr int kInputGapsKept = 32;

struct InputWatch {
  int64_t bytes_seen = 0;          // the ring's bytes_in when input last came
  int64_t last_ms = -1;            // clock_now_ms() then; -1: no input yet
  int64_t gaps[kInputGapsKept]{};  // ms between the last arrivals, a ring
  int gaps_kept = 0;               // 0 .. kInputGapsKept
  int gap_next = 0;                // where the next gap goes
  int64_t limit_ms = kMinIdleMs;   // the idle limit the gaps give
  bool ended = false;              // the end was told for this silence
};

// The idle limit: twice the 90th percentile of the gaps kept (a source's
// pauses between transmissions are rare among them; those over kMaxIdleMs
// are not kept), within kMinIdleMs .. kMaxIdleMs. Before the first gap it
// is kMinIdleMs: a source slower than that is taken for silent once.
int64_t idle_limit_ms(const InputWatch& w);

// Records an arrival when the ring's byte count grew since the last call.
void note_input(InputWatch& w, int64_t bytes_in, int64_t now_ms);

// Returns 1 once per silence, when input has come before and none since
// for the idle limit: the caller tells the decoder (input_ended, which a
// sample taken afterwards undoes).
int input_idle(InputWatch& w, int64_t now_ms);

// How long a wait for input may last before the idle limit passes (0 ..
// cap), cap when there is no silence to time.
int idle_wait_ms(const InputWatch& w, int64_t now_ms, int cap);

}  // namespace morvix
