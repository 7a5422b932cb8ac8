// SPDX-License-Identifier: Apache-2.0
// morvix-decode's work: the input read in large pieces through the daemon's
// decoder, every frame to the output.
#pragma once

#include <cstdint>
#include <string>

#include "decoder/decoder.h"
#include "tools/decode/decode_output.h"
#include "tools/decode/decode_report.h"

namespace morvix::decode {

constexpr int kReadBytes = 1 << 20;  // one read of the input

// Opens input ("-": standard input) and feeds all of it into d (set up,
// dfd -1) as the ring takes it, taking out every frame with next_frame into
// out after each piece, and flushing out.to after each read. When the input
// ends, the frames complete by then have been taken and nothing waits for
// more. Draws progress on p (started here). Returns the bytes read. Ends
// through tool::failed (status 1) when the input cannot be opened or read or
// the output cannot be written.
int64_t decode_input(const std::string& input, Decoder& d, Output& out, Progress& p);

}  // namespace morvix::decode
