// SPDX-License-Identifier: Apache-2.0
// Decoder throughput: the sync search over noise (the word-parallel search,
// in its AVX2 build where the CPU has one and in its portable build, beside
// the per-phase register search it replaced and the step-by-step reference)
// and a frame-dense stream through the whole decoder. Rates are reported as
// samples per second.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "decoder/frame_checker.h"
#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"
#include "fec/link_codec.h"
#include "tools/gen/signal_gen.h"
#include "tools/testbed/reference_sync.h"

namespace morvix {
namespace {

gen::Bytes noise_bytes(size_t count) {
  std::mt19937 rng(7);
  gen::Bytes out(count);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Feeds `stream` round and round into the ring, as far as it has room, and
// runs `step`, which must leave the decoder needing input.
template <typename Step>
void run_over(benchmark::State& state, Decoder& d, const gen::Bytes& stream, Step step) {
  size_t at = 0;
  int64_t samples = 0;
  for (auto _ : state) {
    const int room = d.ring.ring_bytes - d.ring.brx_count;
    int fed = 0;
    while (fed < room) {
      const int chunk =
          static_cast<int>(std::min<size_t>(stream.size() - at, static_cast<size_t>(room - fed)));
      ring_write(d.ring, stream.data() + at, chunk);
      fed += chunk;
      at = (at + static_cast<size_t>(chunk)) % stream.size();
    }
    samples += int64_t{8} * fed;
    step(d);
  }
  state.SetItemsProcessed(samples);
}

void BM_SyncSearchNoise(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, static_cast<int>(state.range(0)), 0, nullptr);
  if (d.sync.sync_wide) state.SetLabel("avx2");
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [](Decoder& x) {
    while (get_frame_id(x.ring, x.sync)) {
    }
  });
}

void BM_SyncSearchNoisePortable(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, static_cast<int>(state.range(0)), 0, nullptr);
  d.sync.sync_wide = false;
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [](Decoder& x) {
    while (get_frame_id(x.ring, x.sync)) {
    }
  });
}

void BM_SyncSearchNoiseRegisters(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, static_cast<int>(state.range(0)), 0, nullptr);
  auto registers = std::make_unique<test::PhaseRegisters>();
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [&registers](Decoder& x) {
    while (test::get_frame_id_registers(x, *registers)) {
    }
  });
}

void BM_SyncSearchNoiseReference(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, static_cast<int>(state.range(0)), 0, nullptr);
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [](Decoder& x) {
    while (test::get_frame_id_reference(x)) {
    }
  });
}

// Frames of 2 to 41 blocks separated by short runs of noise.
gen::Bytes frame_dense_stream(int sps) {
  std::mt19937 rng(11);
  gen::SampleWriter w(sps);
  for (int i = 0; i < 200; ++i) {
    const int blocks = 2 + static_cast<int>(rng() % 40);
    const int payload = std::max(1, std::min(300, blocks * 60 / 8 - 7));
    gen::Bytes p(static_cast<size_t>(payload));
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    w.add_line_bits(gen::frame_line_bits(gen::build_frame(static_cast<uint8_t>(i), p), {}, rng));
    w.add_noise(sps * 200, rng);
  }
  return w.take_whole_bytes();
}

// Arguments: samples per bit, and 1 for the improved reading (-a).
void BM_FrameDenseStream(benchmark::State& state) {
  const int sps = static_cast<int>(state.range(0));
  Decoder d;
  decoder_setup(d, sps, 1, link_codec());
  d.improved_reading = static_cast<int>(state.range(1));
  const gen::Bytes stream = frame_dense_stream(sps);
  int64_t frames = 0;
  run_over(state, d, stream, [&frames](Decoder& x) {
    while (next_frame(x)) ++frames;
  });
  state.counters["frames"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// Streams made to cost the decoder the most per sample, as a hostile
// sender could: each matches the sync word again and again.
enum Crafted {
  kSyncPrefix,        // the sync word's first 27 line bits over and over: a
                      // match with 5 wrong bits every 27 bits
  kSyncThenGarbage,   // the sync word, then 85 random line bits, over and over
  kSyncPrefixJitter,  // the prefix, its samples each flipped at random with
                      // probability 1/8: no two phases read alike
  kFrameCrcFails,     // 41-block frames whose blocks all decode and whose
                      // frame CRC fails, back to back: what learning from
                      // them would cost
};

gen::Bytes crafted_stream(int sps, int pattern) {
  std::mt19937 rng(5);
  const gen::Bits sync(kSyncLineBits.begin(), kSyncLineBits.end());
  gen::SampleWriter w(sps);
  gen::Bits bits;
  for (int i = 0; pattern == kFrameCrcFails && bits.size() < 200000; ++i) {
    gen::Bytes payload(300);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    gen::Bytes frame = gen::build_frame(static_cast<uint8_t>(i), payload);
    frame[20] ^= 1;  // after the CRC was computed
    const gen::Bits f = gen::frame_line_bits(frame, {}, rng);
    bits.insert(bits.end(), f.begin(), f.end());
    bits.insert(bits.end(), 40, 0);
  }
  while (bits.size() < 200000) {
    if (pattern == kSyncThenGarbage) {
      bits.insert(bits.end(), sync.begin(), sync.end());
      for (int i = 0; i < kBlockBits; ++i) bits.push_back(static_cast<uint8_t>(rng() & 1));
    } else {
      bits.insert(bits.end(), sync.begin(), sync.begin() + 27);
    }
  }
  if (pattern != kSyncPrefixJitter) {
    w.add_line_bits(bits);
  } else {
    for (uint8_t bit : bits) {
      for (int s = 0; s < sps; ++s) w.add_sample((1 - bit) ^ (rng() % 8 == 0 ? 1 : 0));
    }
  }
  return w.take_whole_bytes();
}

// Arguments: samples per bit, 1 for the improved reading, the pattern.
void BM_CraftedStream(benchmark::State& state) {
  const int sps = static_cast<int>(state.range(0));
  Decoder d;
  decoder_setup(d, sps, 1, link_codec());
  d.improved_reading = static_cast<int>(state.range(1));
  const gen::Bytes stream = crafted_stream(sps, static_cast<int>(state.range(2)));
  run_over(state, d, stream, [](Decoder& x) {
    while (next_frame(x)) {
    }
  });
}

// Noise through the whole decoder, without and with -a: the soft
// reading costs only at the rare sync words that noise matches.
void BM_NoiseStream(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, 10, 1, link_codec());
  d.improved_reading = static_cast<int>(state.range(0));
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [](Decoder& x) {
    while (next_frame(x)) {
    }
  });
}

BENCHMARK(BM_SyncSearchNoise)->Arg(10)->Arg(1)->Arg(32);
BENCHMARK(BM_SyncSearchNoisePortable)->Arg(10)->Arg(1)->Arg(32);
BENCHMARK(BM_SyncSearchNoiseRegisters)->Arg(10)->Arg(1)->Arg(32);
BENCHMARK(BM_SyncSearchNoiseReference)->Arg(10)->Arg(1)->Arg(32);
BENCHMARK(BM_FrameDenseStream)->ArgsProduct({{3, 10, 32}, {0, 1}});
BENCHMARK(BM_CraftedStream)
    ->ArgsProduct({{3, 10, 32},
                   {0, 1},
                   {kSyncPrefix, kSyncThenGarbage, kSyncPrefixJitter, kFrameCrcFails}});
BENCHMARK(BM_NoiseStream)->Arg(0)->Arg(1);

}  // namespace
}  // namespace morvix

BENCHMARK_MAIN();
