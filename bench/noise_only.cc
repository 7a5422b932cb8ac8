// SPDX-License-Identifier: Apache-2.0
#include "bench/noise_only.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "decoder/decoder.h"
#include "decoder/frame_checker.h"
#include "fec/link_codec.h"
#include "tools/gen/channel.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/decode.h"

namespace morvix::bench {

// The improved reading's sync words found are counted, each read and refused.
int noise_only(int sps, long long samples) {
  std::mt19937 rng(99);
  gen::Channel channel(sps, 1.0, 0, rng);
  Decoder lit, imp;
  decoder_setup(lit, sps, 1, link_codec());
  decoder_setup(imp, sps, 1, link_codec());
  imp.improved_reading = 1;
  long long frames[2] = {0, 0};
  long long improved_readings = 0;
  constexpr long long kPiece = 1 << 24;
  for (long long done = 0; done < samples; done += kPiece) {
    gen::SampleWriter w(sps);
    channel.silence(std::min(kPiece, samples - done), w);
    const gen::Bytes piece = w.take();
    frames[0] += static_cast<long long>(test::decode_stream(lit, piece).size());
    test::feed_stream(imp, piece, [&](Decoder& d) {
      do {
        const bool reading = reads_softly(d.soft);
        frames[1] += get_data_frame(d);
        improved_readings += !reading && reads_softly(d.soft);
      } while (!d.ring.need_input);
    });
  }
  std::printf(
      "%lld samples of noise: %lld frames (literal), %lld frames (-a) from %lld soft "
      "readings\n",
      samples, frames[0], frames[1], improved_readings);
  return frames[0] + frames[1] == 0 ? 0 : 1;
}

}  // namespace morvix::bench
