// The frame checker: one step of frame assembly per call, the header and
// frame CRC checks. The frame's layout is drawn in decoder/frame_format.h.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

// Runs one step: a sync search, or one block. Returns 1 when a good frame is
// in d.frame with its length in d.framelen (the search position has then
// moved past its blocks), otherwise 0. A rejected frame is searched again
// from the sample after its sync word.
int get_data_frame(Decoder& d);

}  // namespace morvix
