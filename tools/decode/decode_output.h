// SPDX-License-Identifier: Apache-2.0
// morvix-decode's standard output: each frame the decoder reports, as the
// daemon's dump line or as one JSON object on a line.
//
// A JSON line holds, in this order: "number" (the dump line's N), "sample"
// (index in the input, from 0, of the sync word's first sample), "phase"
// (sample % sps), "sync_errors" (0..5), "blocks" (symbols corrected in each
// block, an array of 2..41 numbers 0..4), "corrected" (their sum), "length"
// (bytes), "repeat" (true or false) and "frame" (the frame in lowercase hex).
#pragma once

#include <cstdint>
#include <cstdio>

#include "decoder/decoder.h"
#include "decoder/frame_dump.h"

namespace morvix::decode {

struct Output {
  std::FILE* to = stdout;
  bool json = false;         // --json
  bool all = false;          // --all: repeats are printed too
  PreviousFrame previous;    // the daemon's record of the last frame passed on
  int64_t dump_counter = 0;  // the number the next printed frame gets
  int64_t passed_on = 0;     // frames that were not repeats
  int64_t repeats = 0;       // frames that were
};

// Takes the frame the decoder has just reported (next_frame returned 1):
// judges it against the previous-frame record as the daemon does and prints
// it unless it is a repeat and --all is off, without flushing. With --all a
// repeat takes the next number, as if the daemon had kept it. Returns 1 when
// it was passed on, 0 for a repeat, -1 when writing failed.
int output_frame(Output& out, const Decoder& d);

// Writes the JSON line of the frame in d (its quality in d.quality) to to.
// Returns its length, or -1 when the write failed.
int print_json_line(std::FILE* to, int64_t number, const Decoder& d, bool repeat);

}  // namespace morvix::decode
