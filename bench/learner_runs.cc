// SPDX-License-Identifier: Apache-2.0
#include "bench/learner_runs.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/soft/soft_learner.h"
#include "fec/link_codec.h"
#include "tools/gen/channel.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/decode.h"

namespace morvix::bench {

namespace {

constexpr int kSps = 10;
constexpr int kGap = 2000;     // samples of noise before each frame
constexpr int kPayload = 104;  // bytes: 15-block frames

// A transmitter: its channel and noise, or a hostile sender whose frames
// have one sample of each line bit right and the others inverted.
struct Source {
  gen::ChannelOptions options;
  double noise = 0;
  bool crafted = false;
};

gen::ChannelOptions with_slicer(double s, double tc = 0.25) {
  gen::ChannelOptions o;
  o.slicer = s;
  o.time_constant = tc;
  return o;
}

struct Stream {
  gen::Bytes samples;
  std::vector<gen::Bytes> sent;
  std::vector<int> source;  // per frame
};

// Frames from sources in the order given, each with its own channel (its
// filter's state carries on between its frames).
Stream make_stream(const std::vector<Source>& sources, const std::vector<int>& order,
                   unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<gen::Channel> channels;
  channels.reserve(sources.size());
  for (const Source& s : sources) channels.emplace_back(kSps, s.noise, 0, rng, s.options);
  gen::SampleWriter w(kSps);
  Stream out;
  for (size_t i = 0; i < order.size(); ++i) {
    const int k = order[i];
    gen::Bytes payload(kPayload);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    out.sent.push_back(gen::build_frame(static_cast<uint8_t>(i), payload));
    out.source.push_back(k);
    const gen::Bits bits = gen::frame_line_bits(out.sent.back(), {}, rng);
    if (sources[static_cast<size_t>(k)].crafted) {
      w.add_idle(kGap);
      for (uint8_t bit : bits) {
        w.add_sample(1 - bit);
        w.add_samples(kSps - 1, bit);
      }
      continue;
    }
    channels[static_cast<size_t>(k)].silence(kGap, w);
    channels[static_cast<size_t>(k)].transmit(bits, w);
  }
  channels[0].silence(kGap, w);
  w.add_idle(8 * 2 * ring_bytes_for(kSps));
  out.samples = w.take();
  return out;
}

int g_bad = 0;  // wrong frames, and frames the literal reading decoded and -a did not

// Per frame sent: decoded by the literal reading (bit 0) and by -a (bit 1).
std::vector<int> decode_both(const Stream& s) {
  std::vector<int> decoded(s.sent.size(), 0);
  for (int improved = 0; improved < 2; ++improved) {
    Decoder d;
    decoder_setup(d, kSps, 1, link_codec());
    d.improved_reading = improved;
    size_t next = 0;
    for (const gen::Bytes& f : test::decode_stream(d, s.samples)) {
      const auto it = std::find(s.sent.begin() + static_cast<long>(next), s.sent.end(), f);
      if (it == s.sent.end()) {
        ++g_bad;
        continue;
      }
      next = static_cast<size_t>(it - s.sent.begin());
      decoded[next++] |= 1 << improved;
    }
  }
  for (int v : decoded) g_bad += v == 1;
  return decoded;
}

// Share of the frames [from, to) of source k (any when k < 0) decoded by
// the reading (bit 0 literal, 1 -a).
double share(const Stream& s, const std::vector<int>& decoded, size_t from, size_t to, int bit,
             int k = -1) {
  int n = 0, got = 0;
  for (size_t i = from; i < std::min(to, decoded.size()); ++i) {
    if (k >= 0 && s.source[i] != k) continue;
    ++n;
    got += decoded[i] >> bit & 1;
  }
  return n ? static_cast<double>(got) / n : 0;
}

std::vector<int> repeat(int k, int n, std::vector<int> before = {}) {
  before.insert(before.end(), static_cast<size_t>(n), k);
  return before;
}

void long_run(int frames) {
  const double noise = 0.60;
  const Stream s = make_stream({{{}, noise}}, repeat(0, frames), 41);
  const std::vector<int> decoded = decode_both(s);
  std::printf("\nSteady model channel, noise %.2f, %d frames: share decoded per thousand\n\n",
              noise, frames);
  std::printf("| frames | literal | -a |\n|---|---|---|\n");
  for (int from = 0; from < frames; from += 1000) {
    std::printf("| %d-%d | %.3f | %.3f |\n", from + 1, std::min(frames, from + 1000),
                share(s, decoded, static_cast<size_t>(from), static_cast<size_t>(from + 1000), 0),
                share(s, decoded, static_cast<size_t>(from), static_cast<size_t>(from + 1000), 1));
    std::fflush(stdout);
  }
}

void change(int frames) {
  constexpr int kBefore = 40;
  struct Case {
    const char* name;
    Source from, to;
  } cases[] = {
      {"a slicer offset appears", {{}, 0.52}, {with_slicer(0.5), 0.52}},
      {"the slicer offset disappears", {with_slicer(0.5), 0.60}, {{}, 0.60}},
      {"a half-bit filter becomes a quarter-bit one",
       {with_slicer(0, 0.5), 0.60},
       {with_slicer(0, 0.25), 0.60}},
  };
  std::printf(
      "\nA change after %d frames: share of the %d frames after it decoded by -a, by frame "
      "index, against a start warmed on the new channel\n\n",
      kBefore, frames);
  std::printf(
      "| change | noise | 1-10 | 11-30 | 31-%d | all | warmed: 1-10 | 11-30 | 31-%d | all | "
      "literal, all |\n|---|---|---|---|---|---|---|---|---|---|---|\n",
      frames, frames);
  for (const Case& c : cases) {
    double row[2][4];
    double literal = 0;
    for (int warmed = 0; warmed < 2; ++warmed) {
      const Stream s =
          make_stream({warmed ? c.to : c.from, c.to}, repeat(1, frames, repeat(0, kBefore)), 43);
      const std::vector<int> decoded = decode_both(s);
      const size_t b = kBefore;
      row[warmed][0] = share(s, decoded, b, b + 10, 1);
      row[warmed][1] = share(s, decoded, b + 10, b + 30, 1);
      row[warmed][2] = share(s, decoded, b + 30, decoded.size(), 1);
      row[warmed][3] = share(s, decoded, b, decoded.size(), 1);
      literal = share(s, decoded, b, decoded.size(), 0);
    }
    std::printf("| %s | %.2f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n",
                c.name, c.to.noise, row[0][0], row[0][1], row[0][2], row[0][3], row[1][0],
                row[1][1], row[1][2], row[1][3], literal);
    std::fflush(stdout);
  }
}

void two_transmitters(int frames) {
  struct Case {
    const char* name;
    Source a, b;
  } cases[] = {
      {"clean and slicer offset", {{}, 0.60}, {with_slicer(0.5), 0.60}},
      {"clean and half-bit filter with slicer offset", {{}, 0.25}, {with_slicer(0.5, 0.5), 0.25}},
  };
  std::printf(
      "\nTwo transmitters heard alternately, %d frames each: share each decodes with -a, alone "
      "and beside the other\n\n",
      frames);
  std::printf(
      "| transmitters | noise | first alone | first beside | second alone | second beside | "
      "literal, first / second |\n|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases) {
    std::vector<int> both;
    for (int i = 0; i < frames; ++i) both.insert(both.end(), {0, 1});
    const Stream mixed = make_stream({c.a, c.b}, both, 47);
    const std::vector<int> m = decode_both(mixed);
    double alone[2];
    for (int k = 0; k < 2; ++k) {
      const Stream s = make_stream({k ? c.b : c.a}, repeat(0, frames), 47 + k);
      alone[k] = share(s, decode_both(s), 0, static_cast<size_t>(frames), 1);
    }
    std::printf("| %s | %.2f | %.3f | %.3f | %.3f | %.3f | %.3f / %.3f |\n", c.name, c.a.noise,
                alone[0], share(mixed, m, 0, m.size(), 1, 0), alone[1],
                share(mixed, m, 0, m.size(), 1, 1), share(mixed, m, 0, m.size(), 0, 0),
                share(mixed, m, 0, m.size(), 0, 1));
    std::fflush(stdout);
  }
}

void cold_start(int streams) {
  constexpr int kFrames = 12;
  struct Case {
    const char* name;
    Source source;
  } cases[] = {
      {"slicer at half the level", {with_slicer(0.5), 0.55}},
      {"slicer at minus half the level", {with_slicer(-0.5), 0.55}},
      {"half-bit filter", {with_slicer(0, 0.5), 0.44}},
      {"the model", {{}, 0.62}},
  };
  std::printf(
      "\nThe first frames: share of %d fresh streams whose frame n -a decodes (frames 9-12: "
      "warm)\n\n",
      streams);
  std::printf(
      "| channel | noise | 1 | 2 | 3 | 4 | 5 | 6-8 | 9-12 | literal |\n"
      "|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases) {
    std::vector<int> got(kFrames, 0);
    int literal = 0;
    for (int r = 0; r < streams; ++r) {
      const Stream s = make_stream({c.source}, repeat(0, kFrames), 1000 + static_cast<unsigned>(r));
      const std::vector<int> decoded = decode_both(s);
      for (int i = 0; i < kFrames; ++i) {
        got[static_cast<size_t>(i)] += decoded[static_cast<size_t>(i)] >> 1 & 1;
        literal += decoded[static_cast<size_t>(i)] & 1;
      }
    }
    const auto at = [&](int from, int to) {
      int n = 0;
      for (int i = from; i < to; ++i) n += got[static_cast<size_t>(i)];
      return static_cast<double>(n) / (streams * (to - from));
    };
    std::printf("| %s | %.2f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", c.name,
                c.source.noise, at(0, 1), at(1, 2), at(2, 3), at(3, 4), at(4, 5), at(5, 8),
                at(8, 12), static_cast<double>(literal) / (streams * kFrames));
    std::fflush(stdout);
  }
}

void crafted_burst(int frames) {
  constexpr int kBurst = 15;
  std::printf(
      "\n%d crafted frames (both CRCs good, one sample of each line bit right, the others "
      "inverted) before %d frames of the model channel: share of those -a decodes\n\n",
      kBurst, frames);
  std::printf(
      "| noise | clean start | after the burst | after the burst: last half | literal "
      "|\n|---|---|---|---|---|\n");
  for (double noise : {0.55, 0.62}) {
    const Source legit{{}, noise};
    Source crafted;
    crafted.crafted = true;
    const Stream clean = make_stream({legit}, repeat(0, frames), 53);
    const Stream hit = make_stream({legit, crafted}, repeat(0, frames, repeat(1, kBurst)), 53);
    const std::vector<int> c = decode_both(clean);
    const std::vector<int> h = decode_both(hit);
    std::printf("| %.2f | %.3f | %.3f | %.3f | %.3f |\n", noise, share(clean, c, 0, c.size(), 1),
                share(hit, h, kBurst, h.size(), 1),
                share(hit, h, kBurst + static_cast<size_t>(frames / 2), h.size(), 1),
                share(clean, c, 0, c.size(), 0));
    std::fflush(stdout);
  }
}

}  // namespace

void fit_weights(double slicer, double time_constant, double noise) {
  std::mt19937 rng(61);
  gen::Channel channel(kSps, noise, 0, rng, with_slicer(slicer, time_constant));
  SoftLearner learner;
  double start[kSoftFeatures] = {};
  learner_reset(learner, start);
  LabelBatch batch;
  for (int frame = 0; frame < 3000; ++frame) {
    gen::Bytes payload(kPayload);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    const gen::Bits bits =
        gen::frame_line_bits(gen::build_frame(static_cast<uint8_t>(frame), payload), {}, rng);
    gen::SampleWriter w(kSps);
    channel.silence(kGap, w);
    const int64_t first = w.sample_count();
    channel.transmit(bits, w);
    channel.silence(kSps * 3, w);
    const gen::Bytes samples = w.take();
    const auto sample = [&](int64_t t) {
      return samples[static_cast<size_t>(t / 8)] >> (7 - t % 8) & 1;
    };
    batch_clear(batch);
    for (size_t j = 1; j + 1 < bits.size(); j += 3) {
      double x[kLearnerRow] = {};
      const int64_t at = first + static_cast<int64_t>(j) * kSps - kSps;
      for (int i = 0; i < kSoftTaps; ++i) x[i] = sample(at + i) ? -1.0 : 1.0;
      x[kSoftTaps] = 1;
      batch_add(batch, learner, x, bits[j]);
    }
    learner_step(learner, batch, 1);
  }
  std::printf("{");
  for (int i = 0; i < kSoftFeatures; ++i) std::printf("%s%.2f", i ? ", " : "", learner.w[i]);
  std::printf("},\n");
}

int learner_runs(LearnerRun which, int frames) {
  const bool all = which == LearnerRun::kAll;
  if (all || which == LearnerRun::kLongRun) long_run(frames);
  if (all || which == LearnerRun::kChange) change(std::max(100, frames / 5));
  if (all || which == LearnerRun::kTwoTransmitters) two_transmitters(std::max(50, frames / 10));
  if (all || which == LearnerRun::kColdStart) cold_start(std::max(20, frames / 20));
  if (all || which == LearnerRun::kCraftedBurst) crafted_burst(std::max(100, frames / 10));
  std::printf(
      "\nOver every stream: %d wrong frames or frames the literal reading decoded and -a did "
      "not.\n",
      g_bad);
  return g_bad;
}

}  // namespace morvix::bench
