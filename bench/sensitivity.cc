// SPDX-License-Identifier: Apache-2.0
// Sensitivity against theory: frames with random line-bit errors through the
// decoder, the fraction decoded beside the code's exact probability. A frame
// comes through when its sync word has at most 5 of 40 bits wrong and each
// block at most 2 of its 16 symbols wrong (a symbol is wrong when any of its
// 5 bits is; the 5 passed-over bits of a block do not matter).
//
//   sensitivity [FRAMES_PER_RATE] [PAYLOAD_BYTES]      (default 3000 and 100)
// Prints one row per error rate; exits 1 when a rate decodes more than three
// standard deviations below theory. A rate is judged only when the frames
// expected to fail and to come through are both many (n p (1 - p) >= 10):
// with fewer, one lost frame more or less swings the score by whole
// standard deviations, and the normal approximation behind it does not hold.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "decoder/decoder.h"
#include "fec/link_codec.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/decode.h"

namespace {

using namespace morvix;

double binomial_at_most(int n, int k, double p) {
  double total = 0.0;
  for (int i = 0; i <= k; ++i) {
    total += std::exp(std::lgamma(n + 1.0) - std::lgamma(i + 1.0) - std::lgamma(n - i + 1.0) +
                      i * std::log(p) + (n - i) * std::log1p(-p));
  }
  return total;
}

double theory(double ber, int blocks) {
  const double symbol_wrong = 1.0 - std::pow(1.0 - ber, 5);
  return binomial_at_most(40, 5, ber) * std::pow(binomial_at_most(16, 2, symbol_wrong), blocks);
}

// Frames decoded from the stream that equal one that was sent.
int decode_count(Decoder& d, const gen::Bytes& stream, const std::vector<gen::Bytes>& sent) {
  int good = 0;
  size_t next = 0;  // frames come out in order; a lost one is skipped over
  for (const gen::Bytes& f : test::decode_stream(d, stream)) {
    for (size_t i = next; i < sent.size(); ++i) {
      if (sent[i] == f) {
        ++good;
        next = i + 1;
        break;
      }
    }
  }
  return good;
}

// Below this n p (1 - p) a rate is not judged.
constexpr double kMinVariance = 10.0;

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "sensitivity: %s\n"
               "usage: sensitivity [FRAMES_PER_RATE] [PAYLOAD_BYTES]   (1-10000000, 1-300;\n"
               "default 3000 and 100)\n",
               why);
  std::exit(2);
}

int whole_number(const char* text, int max, const char* what) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > max) usage(what);
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3) usage("too many arguments");
  const int frames =
      argc > 1 ? whole_number(argv[1], 10'000'000, "FRAMES_PER_RATE is not 1-10000000") : 3000;
  const int payload_bytes =
      argc > 2 ? whole_number(argv[2], kMaxPayloadBytes, "PAYLOAD_BYTES is not 1-300") : 100;
  const rs_codec* rs = link_codec();
  std::printf("%8s %7s %9s %9s %7s\n", "ber", "frames", "decoded", "theory", "z");
  int defects = 0;
  int unjudged = 0;
  double frames_needed = 0.0;  // for every rate to be judged
  for (double ber : {0.001, 0.002, 0.005, 0.01, 0.015, 0.02, 0.03}) {
    std::mt19937 rng(static_cast<unsigned>(ber * 1e6));
    gen::SampleWriter w(10);
    std::vector<gen::Bytes> sent;
    int blocks = 0;
    for (int i = 0; i < frames; ++i) {
      gen::Bytes payload(static_cast<size_t>(payload_bytes));
      for (auto& b : payload) b = static_cast<uint8_t>(rng());
      sent.push_back(gen::build_frame(static_cast<uint8_t>(i), payload));
      blocks = sent.back()[2];
      gen::Bits bits = gen::frame_line_bits(sent.back(), {}, rng);
      gen::flip_line_bits(bits, ber, rng);
      w.add_line_bits(bits);
      w.add_noise(2000, rng);
    }
    w.add_idle(8 * 2 * kRingBytes);
    Decoder d;
    decoder_setup(d, 10, 1, rs);
    const int good = decode_count(d, w.take(), sent);
    const double p = theory(ber, blocks);
    const double sigma = std::sqrt(frames * p * (1.0 - p));
    const double z = sigma > 0 ? (good - frames * p) / sigma : 0.0;
    const bool judged = frames * p * (1.0 - p) >= kMinVariance;
    frames_needed = std::max(frames_needed, std::ceil(kMinVariance / (p * (1.0 - p))));
    std::printf("%8.3f %7d %9.4f %9.4f %7.2f%s\n", ber, frames, static_cast<double>(good) / frames,
                p, z, judged ? "" : "  (too few frames to judge)");
    if (!judged) {
      ++unjudged;
    } else if (z < -3.0) {
      std::fprintf(stderr,
                   "sensitivity: at a line-bit error rate of %.3f, %d of %d frames decoded, "
                   "%.1f standard deviations below the %.1f that theory expects\n",
                   ber, good, frames, -z, frames * p);
      ++defects;
    }
  }
  if (unjudged > 0) {
    std::fprintf(stderr,
                 "sensitivity: %d rates not judged: too few frames to expect 10 of them to fail "
                 "and 10 to come through; %.0f frames per rate judge them all\n",
                 unjudged, frames_needed);
  }
  return defects == 0 ? 0 : 1;
}
