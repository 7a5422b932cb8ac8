// SPDX-License-Identifier: Apache-2.0
// The literal decoder and the improved reading (-a) side by side on the
// very same streams from the channel model (tools/channel.h): band-limited
// NRZ, Gaussian noise, a one-bit slicer at 10 samples per bit, a clock
// offset. Frames of 15 and 41 blocks with noise between them.
//
//   channel_sensitivity [FRAMES]        the tables, FRAMES a cell (default 2000)
//   channel_sensitivity --point NOISE PPM BLOCKS FRAMES     one cell
//   channel_sensitivity --noise-only SAMPLES     noise alone through both readings
//   channel_sensitivity --impairments FRAMES [COUNT]    per impairment of the channel
//       model, the noise at which each reading decodes half of the 15-block
//       frames, and the dB -a gains there (the first COUNT impairments)
//   channel_sensitivity --reference FRAMES [FLIPS]    the first three of them
//       with a receiver told the bit boundaries (bench/reference_receiver.h) as
//       well, Chase decoding over FLIPS bits (12 unless given; -a uses 8)
//   channel_sensitivity --learning FRAMES [long|change|two|cold|burst]
//       the improved reading over long and mixed streams (bench/learner_runs.h)
//   channel_sensitivity --fit SLICER TIME_CONSTANT NOISE    starting weights
//
// Prints the fraction of frames each reading decodes, README-ready; counts
// over all streams the frames decoded that were never sent (wrong) and the
// frames the literal reading decoded and -a did not. Exits 1 unless both
// are 0 (with --noise-only: unless no frame at all came out).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "bench/learner_runs.h"
#include "bench/noise_only.h"
#include "bench/reference_receiver.h"
#include "decoder/decoder.h"
#include "decoder/frame_checker.h"
#include "fec/link_codec.h"
#include "tools/gen/channel.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/decode.h"

namespace {

using namespace morvix;

constexpr int kSps = 10;
constexpr int kGapSamples = 2000;

// The channel of a stream: the model's defaults unless changed.
struct Setup {
  int sps = kSps;
  double ppm = 0;
  gen::ChannelOptions impairments;
};
Setup g_setup;  // the streams' channel

struct Stream {
  gen::Bytes samples;
  std::vector<gen::Bytes> sent;
  std::vector<int64_t> starts;  // each frame's first sample
  std::vector<gen::Bits> bits;  // each frame's line bits
};

// Payload bytes that make frames of the given blocks.
int payload_for(int blocks) { return blocks >= 41 ? 300 : blocks * 60 / 8 - 8; }

Stream make_stream(int frames, int blocks, double noise, double ppm, unsigned seed) {
  std::mt19937 rng(seed);
  gen::Channel channel(g_setup.sps, noise, ppm + g_setup.ppm, rng, g_setup.impairments);
  gen::SampleWriter w(g_setup.sps);
  Stream s;
  for (int i = 0; i < frames; ++i) {
    gen::Bytes payload(static_cast<size_t>(payload_for(blocks)));
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    s.sent.push_back(gen::build_frame(static_cast<uint8_t>(i), payload));
    channel.silence(kGapSamples, w);
    s.starts.push_back(w.sample_count());
    s.bits.push_back(gen::frame_line_bits(s.sent.back(), {}, rng));
    channel.transmit(s.bits.back(), w);
  }
  channel.silence(kGapSamples, w);
  w.add_idle(8 * 2 * ring_bytes_for(g_setup.sps));
  s.samples = w.take();
  return s;
}

struct Result {
  std::vector<char> decoded;  // per frame sent
  int count = 0;
  int wrong = 0;
};

Result decode(const Stream& s, int improved) {
  Decoder d;
  decoder_setup(d, g_setup.sps, 1, link_codec());
  d.improved_reading = improved;
  Result r;
  r.decoded.assign(s.sent.size(), 0);
  size_t next = 0;  // frames come out in order
  for (const gen::Bytes& f : test::decode_stream(d, s.samples)) {
    bool known = false;
    for (size_t i = next; i < s.sent.size() && !known; ++i) {
      if (s.sent[i] == f) {
        r.decoded[i] = 1;
        ++r.count;
        next = i + 1;
        known = true;
      }
    }
    if (!known) ++r.wrong;
  }
  return r;
}

struct Row {
  double literal = 0, improved = 0, reference = 0;  // fractions decoded
};
bench::ReferenceReceiver* g_reference = nullptr;  // also read by it when set

// Every stream adds to these; both must stay 0.
int g_wrong = 0;  // frames decoded that were not sent, by either reading
int g_lost = 0;   // frames the literal reading decoded and -a did not

Row run(double noise, double ppm, int blocks, int frames) {
  const auto seed = static_cast<unsigned>(blocks * 100000 + noise * 10000 + ppm + 1e6);
  const Stream s = make_stream(frames, blocks, noise, ppm, seed);
  const Result lit = decode(s, 0);
  const Result imp = decode(s, 1);
  g_wrong += lit.wrong + imp.wrong;
  for (size_t i = 0; i < s.sent.size(); ++i) g_lost += lit.decoded[i] && !imp.decoded[i];
  const int ref = g_reference ? bench::reference_count(*g_reference, s.samples, s.starts, s.bits,
                                                       s.sent, g_setup.sps, g_wrong)
                              : 0;
  return {static_cast<double>(lit.count) / frames, static_cast<double>(imp.count) / frames,
          static_cast<double>(ref) / frames};
}

// The noise at which a sweep first decodes half of its frames, by linear
// interpolation of the fraction over the noise in dB; 0 when it never does.
double noise_at_half(const std::vector<double>& noise, const std::vector<double>& fraction) {
  for (size_t i = 1; i < noise.size(); ++i) {
    if (fraction[i - 1] >= 0.5 && fraction[i] < 0.5) {
      const double a = 20 * std::log10(noise[i - 1]), b = 20 * std::log10(noise[i]);
      const double t = (fraction[i - 1] - 0.5) / (fraction[i - 1] - fraction[i]);
      return std::pow(10.0, (a + t * (b - a)) / 20);
    }
  }
  return 0;
}

int tables(int frames) {
  std::printf("Fraction of %d frames decoded, 10 samples per bit, no clock offset:\n\n", frames);
  std::printf(
      "| noise | 15 blocks, literal | 15 blocks, -a | 41 blocks, literal | 41 blocks, -a |\n");
  std::printf("|---|---|---|---|---|\n");
  std::vector<double> noise;
  std::vector<double> decoded[2][2];  // [15 or 41 blocks][literal or -a]
  for (double n = 0.30; n < 1.0; n *= 1.05) {
    const Row short_frames = run(n, 0, 15, frames);
    const Row long_frames = run(n, 0, 41, frames);
    noise.push_back(n);
    decoded[0][0].push_back(short_frames.literal);
    decoded[0][1].push_back(short_frames.improved);
    decoded[1][0].push_back(long_frames.literal);
    decoded[1][1].push_back(long_frames.improved);
    std::printf("| %.3f | %.3f | %.3f | %.3f | %.3f |\n", n, short_frames.literal,
                short_frames.improved, long_frames.literal, long_frames.improved);
    std::fflush(stdout);
    if (short_frames.improved < 0.01 && long_frames.improved < 0.01) break;
  }
  std::printf("\nNoise margin of -a where half the frames are decoded:\n");
  double half_literal = 0;
  for (int size = 0; size < 2; ++size) {
    const double a = noise_at_half(noise, decoded[size][0]);
    const double b = noise_at_half(noise, decoded[size][1]);
    if (size == 0) half_literal = a;
    std::printf("  %d blocks: noise %.3f (literal), %.3f (-a): %+.2f dB\n", size ? 41 : 15, a, b,
                a > 0 && b > 0 ? 20 * std::log10(b / a) : 0.0);
  }

  std::printf("\nFraction of %d frames of 41 blocks decoded against the sender's clock offset:\n\n",
              frames);
  std::printf("| ppm | noise 0, literal | noise 0, -a | noise 0.30, literal | noise 0.30, -a |\n");
  std::printf("|---|---|---|---|---|\n");
  for (double ppm : {0.0, 100.0, 150.0, 200.0, 250.0, 300.0, -300.0, 500.0, 1000.0, 3000.0}) {
    const Row clean = run(0.0, ppm, 41, frames);
    const Row noisy = run(0.30, ppm, 41, frames);
    std::printf("| %+.0f | %.3f | %.3f | %.3f | %.3f |\n", ppm, clean.literal, clean.improved,
                noisy.literal, noisy.improved);
    std::fflush(stdout);
  }

  std::printf("\nAt the goals:\n\n| stream | literal | -a |\n|---|---|---|\n");
  const Row at_half = run(half_literal, 0, 15, frames);
  const Row beyond = run(half_literal * 1.15, 0, 15, frames);
  const Row clock = run(0.30, 300, 41, frames);
  std::printf("| 15 blocks, noise %.3f (the literal reading's half) | %.3f | %.3f |\n",
              half_literal, at_half.literal, at_half.improved);
  std::printf("| 15 blocks, noise %.3f (15 %% more) | %.3f | %.3f |\n", half_literal * 1.15,
              beyond.literal, beyond.improved);
  std::printf("| 41 blocks, 300 ppm, noise 0.30 | %.3f | %.3f |\n", clock.literal, clock.improved);
  std::printf(
      "\nOver every stream: %d wrong frames; %d frames the literal reading decoded and "
      "-a did not.\n",
      g_wrong, g_lost);
  return g_wrong + g_lost;
}

// The impairments one by one: the noise at which half the 15-block frames
// decode, each reading, swept in steps of about 0.5 dB.
int impairments(int frames, int count = 11) {
  struct Case {
    const char* name;
    Setup setup;
  };
  const auto with = [](auto change) {
    Setup s;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"one-pole low-pass, a quarter bit (the model)", Setup{}},
      {"one-pole low-pass, half a bit", with([](Setup& s) { s.impairments.time_constant = 0.5; })},
      {"slicer threshold at half the signal level",
       with([](Setup& s) { s.impairments.slicer = 0.5; })},
      {"a second pole, a quarter bit", with([](Setup& s) { s.impairments.second_pole = 0.25; })},
      {"clock wander, 500 ppm", with([](Setup& s) { s.impairments.wander_ppm = 500; })},
      {"clock offset, 2000 ppm", with([](Setup& s) { s.ppm = 2000; })},
      {"noise bursts, 5 % of the time", with([](Setup& s) { s.impairments.bursts = 0.05; })},
      {"slow fading, 6 dB", with([](Setup& s) { s.impairments.fading_db = 6; })},
      {"5 samples per bit", with([](Setup& s) { s.sps = 5; })},
      {"16 samples per bit", with([](Setup& s) { s.sps = 16; })},
      {"32 samples per bit", with([](Setup& s) { s.sps = 32; })},
  };
  std::printf("| channel (15-block frames) | literal, noise at half | -a, noise at half | dB |%s\n",
              g_reference ? " reference, noise at half | dB |" : "");
  std::printf("|---|---|---|---|%s\n", g_reference ? "---|---|" : "");
  for (const Case& c : std::span(cases, static_cast<size_t>(count))) {
    g_setup = c.setup;
    std::vector<double> noise, literal, improved, reference;
    for (double n = 0.05; n < 3.0; n *= 1.06) {
      const Row row = run(n, 0, 15, frames);
      noise.push_back(n);
      literal.push_back(row.literal);
      improved.push_back(row.improved);
      reference.push_back(row.reference);
      if (row.improved < 0.02 && row.reference < 0.02) break;
    }
    const double a = noise_at_half(noise, literal), b = noise_at_half(noise, improved);
    const double r = noise_at_half(noise, reference);
    if (a > 0 && b > 0 && g_reference) {
      std::printf("| %s | %.3f | %.3f | %+.1f | %.3f | %+.1f |\n", c.name, a, b,
                  20 * std::log10(b / a), r, r > 0 ? 20 * std::log10(r / a) : 0.0);
    } else if (a > 0 && b > 0) {
      std::printf("| %s | %.3f | %.3f | %+.1f |\n", c.name, a, b, 20 * std::log10(b / a));
    } else {
      // A reading that never decodes half of them, even at the least noise.
      char lit[16], soft[16];
      std::snprintf(lit, sizeof lit, a > 0 ? "%.3f" : "never half", a);
      std::snprintf(soft, sizeof soft, b > 0 ? "%.3f" : "never half", b);
      std::printf("| %s | %s | %s | |\n", c.name, lit, soft);
    }
    std::fflush(stdout);
  }
  std::printf(
      "\nOver every stream: %d wrong frames; %d frames the literal reading decoded and "
      "-a did not.\n",
      g_wrong, g_lost);
  return g_wrong + g_lost;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4 && std::strcmp(argv[1], "--fit") == 0) {
    bench::fit_weights(std::atof(argv[2]), std::atof(argv[3]), std::atof(argv[4]));
    return 0;
  }
  if (argc > 2 && std::strcmp(argv[1], "--learning") == 0) {
    const char* names[] = {"long", "change", "two", "cold", "burst"};
    auto which = bench::LearnerRun::kAll;
    for (int i = 0; i < 5 && argc > 3; ++i) {
      if (std::strcmp(argv[3], names[i]) == 0) which = static_cast<bench::LearnerRun>(i);
    }
    return bench::learner_runs(which, std::atoi(argv[2])) == 0 ? 0 : 1;
  }
  if (argc > 2 && std::strcmp(argv[1], "--impairments") == 0) {
    return impairments(std::atoi(argv[2]), argc > 3 ? std::atoi(argv[3]) : 11) == 0 ? 0 : 1;
  }
  if (argc > 2 && std::strcmp(argv[1], "--reference") == 0) {
    static bench::ReferenceReceiver reference;
    bench::reference_setup(reference, argc > 3 ? std::atoi(argv[3]) : kChaseMaxFlips);
    g_reference = &reference;
    return impairments(std::atoi(argv[2]), 3) == 0 ? 0 : 1;
  }
  if (argc > 2 && std::strcmp(argv[1], "--noise-only") == 0) {
    return bench::noise_only(kSps, std::atoll(argv[2]));
  }
  if (argc > 5 && std::strcmp(argv[1], "--point") == 0) {
    const int frames = std::atoi(argv[5]);
    const Row row = run(std::atof(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), frames);
    std::printf("literal %.3f, -a %.3f of %d; wrong %d, lost by -a %d\n", row.literal, row.improved,
                frames, g_wrong, g_lost);
    return g_wrong + g_lost == 0 ? 0 : 1;
  }
  return tables(argc > 1 ? std::atoi(argv[1]) : 2000) == 0 ? 0 : 1;
}
