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
#include "tests/support/reference_sync.h"
#include "tools/signal_gen.h"

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
    const int room = d.ring_bytes - d.brx_count;
    int fed = 0;
    while (fed < room) {
      const int chunk =
          static_cast<int>(std::min<size_t>(stream.size() - at, static_cast<size_t>(room - fed)));
      ring_write(d, stream.data() + at, chunk);
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
  if (d.sync_wide) state.SetLabel("avx2");
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [](Decoder& x) {
    while (get_frame_id(x)) {
    }
  });
}

void BM_SyncSearchNoisePortable(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, static_cast<int>(state.range(0)), 0, nullptr);
  d.sync_wide = false;
  const gen::Bytes noise = noise_bytes(1 << 20);
  run_over(state, d, noise, [](Decoder& x) {
    while (get_frame_id(x)) {
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

// Crafted to cost: sync word after sync word, each followed by 85 line bits
// of noise, so that every one is read and every header fails.
gen::Bytes sync_dense_stream(int sps) {
  std::mt19937 rng(13);
  gen::SampleWriter w(sps);
  for (int i = 0; i < 2000; ++i) {
    gen::Bits bits;
    for (int j = 0; j < kSyncBits; ++j) bits.push_back((kSyncWord[j / 8] >> (7 - j % 8)) & 1);
    for (int j = 0; j < kBlockBits; ++j) bits.push_back(static_cast<uint8_t>(rng() & 1));
    w.add_line_bits(bits);
  }
  return w.take_whole_bytes();
}

// Arguments: 1 for the soft reading (-a).
void BM_SyncDenseStream(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, 10, 1, link_codec());
  d.soft_reading = static_cast<int>(state.range(0));
  const gen::Bytes stream = sync_dense_stream(10);
  run_over(state, d, stream, [](Decoder& x) {
    while (next_frame(x)) {
    }
  });
}

// Arguments: samples per bit, and 1 for the soft reading (-a).
void BM_FrameDenseStream(benchmark::State& state) {
  const int sps = static_cast<int>(state.range(0));
  Decoder d;
  decoder_setup(d, sps, 1, link_codec());
  d.soft_reading = static_cast<int>(state.range(1));
  const gen::Bytes stream = frame_dense_stream(sps);
  int64_t frames = 0;
  run_over(state, d, stream, [&frames](Decoder& x) {
    while (next_frame(x)) ++frames;
  });
  state.counters["frames"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// Noise through the whole decoder, without and with -a: the soft
// reading costs only at the rare sync words that noise matches.
void BM_NoiseStream(benchmark::State& state) {
  Decoder d;
  decoder_setup(d, 10, 1, link_codec());
  d.soft_reading = static_cast<int>(state.range(0));
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
BENCHMARK(BM_FrameDenseStream)->Args({10, 0})->Args({10, 1});
BENCHMARK(BM_NoiseStream)->Arg(0)->Arg(1);
BENCHMARK(BM_SyncDenseStream)->Arg(0)->Arg(1);

}  // namespace
}  // namespace morvix

BENCHMARK_MAIN();
