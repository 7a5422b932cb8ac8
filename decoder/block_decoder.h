// SPDX-License-Identifier: Apache-2.0
// The block decoder: 85 line bits at the block position become 16 symbols
// (decoder/block_layout.h), are corrected when fec is on, and their 12 data
// symbols append 60 bits to the frame, each byte filled least significant
// bit first.
#pragma once

#include "decoder/decoder.h"

namespace morvix {

// Reads the block at (bbp, bbb). Returns 1 when its 60 data bits were
// appended to frame (block position moved 85 line bits on), 0 when its
// samples have not all arrived yet (nothing changed but need_input; try
// again), -1 when the codec found it uncorrectable (nothing appended).
int get_block(Decoder& d);

// Appends the 60 bits of data symbols 0 .. 11 (unmasked, corrected) to the
// frame, each frame byte filled least significant bit first.
void append_block_data(BlockAssembly& a, const unsigned char* symbols);

}  // namespace morvix
