// SPDX-License-Identifier: Apache-2.0
// Drives the decoder outside the daemon: feeds a whole sample stream into
// the ring as room frees up and takes the frames out with next_frame.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "decoder/decoder.h"

namespace morvix::test {

using Bytes = std::vector<uint8_t>;

// Writes stream into d's ring piece by piece, as far as the ring has room,
// and after each piece calls run(d), which must leave the decoder needing
// input. d.ring.dfd must be -1.
void feed_stream(Decoder& d, const Bytes& stream, const std::function<void(Decoder&)>& run);

// feed_stream with next_frame until the decoder needs input: every frame
// reported over the whole stream, in order.
std::vector<Bytes> decode_stream(Decoder& d, const Bytes& stream);

}  // namespace morvix::test
