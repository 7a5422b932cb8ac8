// SPDX-License-Identifier: Apache-2.0
// Time per 16-symbol block of decode_rs_char with the link's code.
#include <benchmark/benchmark.h>

#include <array>

#include "fec/decode_rs.h"
#include "fec/link_codec.h"
#include "tools/gen/signal_gen.h"

namespace morvix {
namespace {

using Block = std::array<unsigned char, 16>;

Block Codeword() {
  uint8_t data[12];
  for (int j = 0; j < 12; j++) data[j] = static_cast<uint8_t>((7 * j + 3) & 31);
  Block word{};
  gen::rs_encode(data, word.data());
  return word;
}

void Decode(benchmark::State& state, bool damage) {
  const rs_codec* rs = link_codec();
  Block sent = Codeword();
  if (damage) {
    sent[4] ^= 0x11;
    sent[13] ^= 0x06;
  }
  // Make sure the loop times the intended path.
  if (decode_rs_char(rs, Block(sent).data(), nullptr, 0) != (damage ? 2 : 0)) {
    state.SkipWithError("unexpected decode result");
  }
  for (auto _ : state) {
    Block word = sent;
    benchmark::DoNotOptimize(decode_rs_char(rs, word.data(), nullptr, 0));
    benchmark::DoNotOptimize(word);
  }
}

void BM_DecodeCleanBlock(benchmark::State& state) { Decode(state, false); }
void BM_DecodeBlockWithTwoWrongSymbols(benchmark::State& state) { Decode(state, true); }

BENCHMARK(BM_DecodeCleanBlock);
BENCHMARK(BM_DecodeBlockWithTwoWrongSymbols);

}  // namespace
}  // namespace morvix

BENCHMARK_MAIN();
