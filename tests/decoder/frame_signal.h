// SPDX-License-Identifier: Apache-2.0
// Decoder tests driven by generated line signals: a fresh decoder per case,
// signals of whole frames, and every frame the decoder reports.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "decoder/decoder.h"
#include "fec/link_codec.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/decode.h"

namespace morvix::test {

inline Bytes payload_of(int size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes p(static_cast<size_t>(size));
  for (auto& b : p) b = static_cast<uint8_t>(rng());
  return p;
}

class FrameSignalTest : public ::testing::Test {
 protected:
  void setup(int sps, int fec = 1) { decoder_setup(d_, sps, fec, fec ? link_codec() : nullptr); }

  std::vector<Bytes> decode(const Bytes& stream) { return decode_stream(d_, stream); }

  // Line signal of frames separated by idle, starting `lead` samples in.
  Bytes signal(const std::vector<Bytes>& frames, int sps, int lead,
               const gen::LineOptions& options = {}) {
    gen::SampleWriter w(sps);
    w.add_idle(lead);
    for (const Bytes& f : frames) {
      w.add_line_bits(gen::frame_line_bits(f, options, rng_));
      w.add_idle(sps * 30);
    }
    w.add_idle(sps * 4000);  // lets the search run past the last frame
    return w.take();
  }

  Decoder d_;
  std::mt19937 rng_{4242};
};

}  // namespace morvix::test
