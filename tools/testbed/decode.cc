// SPDX-License-Identifier: Apache-2.0
#include "tools/testbed/decode.h"

#include "decoder/frame_checker.h"
#include "decoder/sample_ring.h"

namespace morvix::test {

void feed_stream(Decoder& d, const Bytes& stream, const std::function<void(Decoder&)>& run) {
  size_t sent = 0;
  for (;;) {
    sent += static_cast<size_t>(
        ring_write(d.ring, stream.data() + sent, static_cast<int>(stream.size() - sent)));
    run(d);
    if (sent == stream.size()) return;
  }
}

std::vector<Bytes> decode_stream(Decoder& d, const Bytes& stream) {
  std::vector<Bytes> frames;
  feed_stream(d, stream, [&frames](Decoder& x) {
    while (next_frame(x)) frames.emplace_back(x.block.frame, x.block.frame + x.checker.framelen);
  });
  return frames;
}

}  // namespace morvix::test
