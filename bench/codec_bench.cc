// Time per 16-symbol block of decode_rs_char with the link's code.
#include <benchmark/benchmark.h>

#include <array>

#include "fec/decode_rs.h"
#include "fec/init_rs.h"

namespace morvix {
namespace {

using Block = std::array<unsigned char, 16>;

// 12 data symbols and their parity under g(x) = x^4 + 10 x^3 + 29 x^2 + 10 x + 1.
Block Codeword(const rs_codec& rs) {
  Block word{};
  for (int j = 0; j < 12; j++) word[j] = static_cast<unsigned char>((7 * j + 3) & 31);
  // Remainder of data(x) x^4 by the generator, one data symbol at a time.
  for (int j = 0; j < 12; j++) {
    const int feedback = word[j] ^ word[12];
    for (int k = 0; k < 4; k++) {
      const int g = rs.generator[3 - k];
      const int term = feedback == 0 ? 0 : rs.exp_table[rs_reduce(rs, rs.log_table[feedback] + g)];
      word[12 + k] = static_cast<unsigned char>((k < 3 ? word[13 + k] : 0) ^ term);
    }
  }
  return word;
}

void Decode(benchmark::State& state, bool damage) {
  rs_codec* rs = init_rs_char(5, 0x25, 14, 1, 4, 15);
  Block sent = Codeword(*rs);
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
  free_rs_char(rs);
}

void BM_DecodeCleanBlock(benchmark::State& state) { Decode(state, false); }
void BM_DecodeBlockWithTwoWrongSymbols(benchmark::State& state) { Decode(state, true); }

BENCHMARK(BM_DecodeCleanBlock);
BENCHMARK(BM_DecodeBlockWithTwoWrongSymbols);

}  // namespace
}  // namespace morvix

BENCHMARK_MAIN();
