// SPDX-License-Identifier: Apache-2.0
// The frame checker: one step of frame assembly per call, the header and
// frame CRC checks. The frame's layout is drawn in decoder/frame_format.h.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

// Runs one step: a sync search, or one block. Returns 1 when a good frame is
// in d.block.frame with its length in d.checker.framelen (the search position has then
// moved past its blocks), otherwise 0. A rejected frame is searched again
// from the sample after its sync word. need_input tells afterwards whether
// the step stopped for samples that have not arrived. With d.improved_reading,
// a sync word whose soft values correlate with it is first read softly
// (decoder/soft/soft_reader.h), and read literally only when that fails.
//
// Liveness: a step takes into the ring all the input waiting that it has
// room for, before it reads and again when it stops for input. So when
// need_input is set, the ring is not full and input_waiting(d.ring) is false
// (unless a run of empty datagrams was passed over): whatever a reading
// waits for has not been sent yet. A step that does not set
// need_input moves the search or reads a block (a frame ends within
// 2 x (kMaxFrameBlocks + 1) steps), so the decoder never spins in place.
int get_data_frame(Decoder& d);

// Steps get_data_frame until a frame is ready (1: in d.block.frame and d.checker.framelen)
// or the decoder needs input (0). With dfd < 0 the input is never read: the
// caller feeds the ring with ring_write and calls next_frame until it
// returns 0, then feeds again; at the end of the input it calls
// input_ended(d.ring) (decoder/sample_ring.h) and next_frame once more.
int next_frame(Decoder& d);

}  // namespace morvix
