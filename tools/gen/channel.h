// SPDX-License-Identifier: Apache-2.0
// A model of a real bitstream source, for measuring the decoder: the
// transmitter's line bits as NRZ levels (+1 for a line bit of 1, -1 for 0)
// on its own bit clock, a one-pole low-pass filter with a time constant of
// a quarter bit, white Gaussian noise added before the filter, and a
// one-bit slicer at sps samples per nominal line bit (a level above 0 gives
// a sample of 0, which stands for a line bit of 1).
//
// noise is the standard deviation of the filtered noise at the slicer, in
// units of the settled signal level; ppm is the transmitter's clock offset:
// a line bit lasts sps / (1 + ppm * 1e-6) samples. Deterministic for a
// seed: every random number comes from the caller's std::mt19937 raw
// output. Arguments outside a stated range throw std::invalid_argument.
#pragma once

#include <cstdint>
#include <random>

#include "tools/gen/signal_gen.h"

namespace morvix::gen {

class Channel {
 public:
  // noise >= 0; |ppm| <= 100000.
  Channel(int sps, double noise, double ppm, std::mt19937& rng);

  // The transmitter sends bits; a fraction of a sample left over at the end
  // carries over into whatever is sent next.
  void transmit(const Bits& bits, SampleWriter& out);
  // samples with no transmitter on the air: noise alone.
  void silence(int64_t samples, SampleWriter& out);
  // samples of the transmitter holding a line bit of 0 (the idle level).
  void idle(int64_t samples, SampleWriter& out);

 private:
  void emit(double input, SampleWriter& out);
  double gaussian();

  std::mt19937& rng_;
  double decay_;         // the filter's weight of its last output per sample
  double input_noise_;   // standard deviation of the noise added per sample
  double level_ = -1.0;  // filter output; starts settled at the idle level
  int64_t bit_length_;   // samples per transmitted line bit, in 1/2^24 samples
  int64_t owed_ = 0;     // part of the current line bit not yet sampled, same unit
  double spare_ = 0.0;   // the second number of the last Box-Muller pair
  bool has_spare_ = false;
};

}  // namespace morvix::gen
