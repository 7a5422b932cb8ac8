// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/channel.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace morvix::gen {

namespace {
constexpr int kFractionBits = 24;
constexpr int64_t kOneSample = int64_t{1} << kFractionBits;
constexpr double kWanderBits = 4000;  // the wander's period
constexpr double kFadeBits = 6000;    // the fading's period
constexpr int kBurstBits = 30;
constexpr double kBurstNoise = 4.0;

bool within(double x, double lo, double hi) { return x >= lo && x <= hi; }
}  // namespace

Channel::Channel(int sps, double noise, double ppm, std::mt19937& rng,
                 const ChannelOptions& options)
    : rng_(rng), options_(options), sps_(sps), ppm_(ppm) {
  if (sps < 1) throw std::invalid_argument("samples per bit");
  if (!(noise >= 0.0 && noise < 1e6)) throw std::invalid_argument("noise");
  if (!(std::fabs(ppm) <= 100000.0)) throw std::invalid_argument("clock offset");
  if (!within(options.time_constant, 0.01, 10) || !within(options.second_pole, 0, 10) ||
      !within(options.slicer, -0.95, 0.95) || !within(options.wander_ppm, 0, 100000) ||
      !within(options.bursts, 0, 1) || !within(options.fading_db, 0, 40)) {
    throw std::invalid_argument("channel option");
  }
  decay_ = std::exp(-1.0 / (options.time_constant * sps));
  if (options.second_pole > 0) decay2_ = std::exp(-1.0 / (options.second_pole * sps));
  // White noise of variance v through the filter keeps v times its impulse
  // response's energy: (1 - a) / (1 + a) for one pole; summed for two.
  input_noise_ = noise * std::sqrt((1.0 + decay_) / (1.0 - decay_));
  if (decay2_ > 0) {
    double h1 = 0, h2 = 0, e = 0;
    for (int k = 0; k < 200000; ++k) {
      h1 = decay_ * h1 + (1.0 - decay_) * (k == 0 ? 1.0 : 0.0);
      h2 = decay2_ * h2 + (1.0 - decay2_) * h1;
      e += h2 * h2;
    }
    input_noise_ = noise / std::sqrt(e);
  }
  bit_length_ = std::llround(static_cast<double>(sps) * kOneSample / (1.0 + ppm * 1e-6));
}

double Channel::uniform() { return (static_cast<double>(rng_()) + 0.5) / 4294967296.0; }

double Channel::gaussian() {
  if (has_spare_) {
    has_spare_ = false;
    return spare_;
  }
  // Box-Muller from two raw draws, both kept inside (0, 1).
  const double u1 = uniform();
  const double u2 = uniform();
  const double r = std::sqrt(-2.0 * std::log(u1));
  spare_ = r * std::sin(2.0 * std::numbers::pi * u2);
  has_spare_ = true;
  return r * std::cos(2.0 * std::numbers::pi * u2);
}

// Once a line bit's worth of time: the clock's wander, the fading, the
// start of a burst. Nothing is drawn when they are off, so that a stream
// without them is the same as before they existed.
void Channel::next_bit() {
  ++bits_;
  const double t = static_cast<double>(bits_);
  if (options_.wander_ppm > 0) {
    const double ppm =
        ppm_ + options_.wander_ppm * std::sin(2 * std::numbers::pi * t / kWanderBits);
    bit_length_ = std::llround(static_cast<double>(sps_) * kOneSample / (1.0 + ppm * 1e-6));
  }
  if (options_.fading_db > 0) {
    const double depth = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * t / kFadeBits);
    gain_ = std::pow(10.0, -options_.fading_db * depth / 20);
  }
  if (options_.bursts > 0 && burst_left_ <= 0 && uniform() < options_.bursts / kBurstBits) {
    burst_left_ = kBurstBits * sps_;
  }
}

void Channel::emit(double input, SampleWriter& out) {
  input *= gain_;
  if (input_noise_ > 0.0) {
    double n = input_noise_ * gaussian();
    if (burst_left_ > 0) {
      n *= kBurstNoise;
      --burst_left_;
    }
    input += n;
  }
  level_ = decay_ * level_ + (1.0 - decay_) * input;
  double level = level_;
  if (decay2_ > 0) {
    level2_ = decay2_ * level2_ + (1.0 - decay2_) * level_;
    level = level2_;
  }
  out.add_sample(level > options_.slicer ? 0 : 1);
  if (++sample_count_ % sps_ == 0 &&
      (options_.wander_ppm > 0 || options_.fading_db > 0 || options_.bursts > 0)) {
    next_bit();
  }
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
