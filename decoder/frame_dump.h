// SPDX-License-Identifier: Apache-2.0
// What the daemon and morvix-decode pass on, and how a person sees it: the
// repeat rule against the previous-frame record, and the frame dump line.
#pragma once

#include <cstdint>
#include <cstdio>

#include "decoder/frame_format.h"

namespace morvix {

// The previous-frame record: the last frame passed on. A repeat never
// replaces it, so a frame repeated any number of times, at any distance, is
// passed on once until a different frame comes between.
struct PreviousFrame {
  unsigned char prev_frame[kFrameBytes]{};
  int prev_framelen = 0;  // 0: nothing passed on yet, so nothing is a repeat
};

// 1 when frame (len bytes, 1 .. kFrameBytes) equals the record in length and
// every byte, else 0.
int is_repeat(const PreviousFrame& previous, const unsigned char* frame, int len);

// Makes frame (len bytes, 1 .. kFrameBytes) the record.
void remember_frame(PreviousFrame& previous, const unsigned char* frame, int len);

// Longest dump line: "rx: #" with a 64-bit number, a blank, three characters
// a byte, the newline.
constexpr int kDumpLineMax = 5 + 20 + 1 + 3 * kFrameBytes + 1;

// Writes the dump line of frame (len bytes, 0 .. kFrameBytes) numbered
// number: "rx: #N ", then "%02x " per byte, then a newline, in one write to
// out, without flushing. Returns its length, or -1 when the write failed.
int print_dump_line(std::FILE* out, int64_t number, const unsigned char* frame, int len);

}  // namespace morvix
