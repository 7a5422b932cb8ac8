// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/channel.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace morvix::gen {

namespace {
constexpr int kFractionBits = 24;
constexpr int64_t kOneSample = int64_t{1} << kFractionBits;
}  // namespace

Channel::Channel(int sps, double noise, double ppm, std::mt19937& rng) : rng_(rng) {
  if (sps < 1) throw std::invalid_argument("samples per bit");
  if (!(noise >= 0.0 && noise < 1e6)) throw std::invalid_argument("noise");
  if (!(std::fabs(ppm) <= 100000.0)) throw std::invalid_argument("clock offset");
  // A time constant of a quarter bit.
  decay_ = std::exp(-4.0 / sps);
  // White noise of variance v through the filter keeps v (1 - a) / (1 + a).
  input_noise_ = noise * std::sqrt((1.0 + decay_) / (1.0 - decay_));
  bit_length_ = std::llround(static_cast<double>(sps) * kOneSample / (1.0 + ppm * 1e-6));
}

double Channel::gaussian() {
  if (has_spare_) {
    has_spare_ = false;
    return spare_;
  }
  // Box-Muller from two raw draws, both kept inside (0, 1).
  const double u1 = (static_cast<double>(rng_()) + 0.5) / 4294967296.0;
  const double u2 = (static_cast<double>(rng_()) + 0.5) / 4294967296.0;
  const double r = std::sqrt(-2.0 * std::log(u1));
  spare_ = r * std::sin(2.0 * std::numbers::pi * u2);
  has_spare_ = true;
  return r * std::cos(2.0 * std::numbers::pi * u2);
}

void Channel::emit(double input, SampleWriter& out) {
  if (input_noise_ > 0.0) input += input_noise_ * gaussian();
  level_ = decay_ * level_ + (1.0 - decay_) * input;
  out.add_sample(level_ > 0.0 ? 0 : 1);
}

void Channel::transmit(const Bits& bits, SampleWriter& out) {
  for (uint8_t bit : bits) {
    const double input = bit ? 1.0 : -1.0;
    // Every sample taken before the bit's end belongs to it.
    for (owed_ += bit_length_; owed_ > 0; owed_ -= kOneSample) emit(input, out);
  }
}

void Channel::silence(int64_t samples, SampleWriter& out) {
  for (int64_t i = 0; i < samples; ++i) emit(0.0, out);
}

void Channel::idle(int64_t samples, SampleWriter& out) {
  for (int64_t i = 0; i < samples; ++i) emit(-1.0, out);
}

}  // namespace morvix::gen
