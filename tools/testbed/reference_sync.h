// SPDX-License-Identifier: Apache-2.0
// Two earlier forms of the sync search, kept as references that the fast
// search in decoder/ must agree with, attempt for attempt, and as the
// yardsticks the decoder benchmark measures it against. Independent of
// decoder/sync_search.cc on purpose.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

namespace morvix::test {

// The search written step by step as the design describes it, one 40-sample
// comparison per attempt.
int get_frame_id_reference(Decoder& d);

// What the per-phase search keeps between calls: for each sample phase the
// last 40 samples read at that phase, valid while the search position is
// (brdp, brdb).
struct PhaseRegisters {
  bool valid = false;
  int brdp = 0;
  int brdb = 0;
  int lead_byte = 0;   // next sample to shift in: byte ...
  int lead_bit = 0;    // ... and bit
  int lead_ahead = 0;  // bytes from the search position to lead_byte
  int phase = 0;       // register of the next attempt
  uint64_t regs[kMaxSps]{};
};

// The search with one 40-sample register per sample phase: each attempt
// shifts one sample into its phase's register and compares with a population
// count. Same contract as get_frame_id; r belongs to d and starts out empty.
int get_frame_id_registers(Decoder& d, PhaseRegisters& r);

}  // namespace morvix::test
