// SPDX-License-Identifier: Apache-2.0
// A model of a real bitstream source, for measuring the decoder: the
// transmitter's line bits as NRZ levels (+1 for a line bit of 1, -1 for 0)
// on its own bit clock, a low-pass filter (one pole with a time constant of
// a quarter bit unless told otherwise, optionally a second pole), white
// Gaussian noise added before the filter, and a one-bit slicer at sps
// samples per nominal line bit (a level above the threshold, 0 unless told
// otherwise, gives a sample of 0, which stands for a line bit of 1).
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

// The impairments beyond noise and a clock offset; the defaults add none.
struct ChannelOptions {
  double time_constant = 0.25;  // the filter's, in line bits: 0.01 .. 10
  double second_pole = 0.0;     // a second pole's time constant, bits (0: none): 0 .. 10
  double slicer = 0.0;          // the slicer's threshold, in signal levels: -0.95 .. 0.95
  double wander_ppm = 0.0;      // the clock offset swings this far (sine, 4000 bits): 0 .. 100000
  double bursts = 0.0;          // fraction of time in noise bursts (30 bits, 4x the noise): 0 .. 1
  double fading_db = 0.0;       // the signal fades this deep and back (sine, 6000 bits): 0 .. 40
};

class Channel {
 public:
  // noise >= 0; |ppm| <= 100000.
  Channel(int sps, double noise, double ppm, std::mt19937& rng, const ChannelOptions& options = {});

  // The transmitter sends bits; a fraction of a sample left over at the end
  // carries over into whatever is sent next.
  void transmit(const Bits& bits, SampleWriter& out);
  // samples with no transmitter on the air: noise alone.
  void silence(int64_t samples, SampleWriter& out);
  // samples of the transmitter holding a line bit of 0 (the idle level).
  void idle(int64_t samples, SampleWriter& out);

 private:
  void emit(double input, SampleWriter& out);
  void next_bit();
  double gaussian();
  double uniform();

  std::mt19937& rng_;
  ChannelOptions options_;
  int sps_;
  double ppm_;
  double decay_;         // the filter's weight of its last output per sample
  double decay2_ = 0.0;  // the second pole's, 0: none
  double input_noise_;   // standard deviation of the noise added per sample
  double level_ = -1.0;  // filter output; starts settled at the idle level
  double level2_ = -1.0;
  int64_t bit_length_;  // samples per transmitted line bit, in 1/2^24 samples
  int64_t owed_ = 0;    // part of the current line bit not yet sampled, same unit
  int64_t bits_ = 0;    // line bits' worth of time so far (for wander and fading)
  int64_t sample_count_ = 0;
  int burst_left_ = 0;  // samples of the current noise burst still to come
  double gain_ = 1.0;   // the signal's fading
  double spare_ = 0.0;  // the second number of the last Box-Muller pair
  bool has_spare_ = false;
};

}  // namespace morvix::gen
