// SPDX-License-Identifier: Apache-2.0
// The Reed-Solomon decoder of the link's code (fec/link_codec.h).
//
// Input, read byte by byte (zeros past the end), in two parts:
// 1. Any word: 16 symbols (low 5 bits of each byte), an erasure count (byte
//    mod 5) and four erasure positions (15 + byte mod 16). Positions may
//    repeat: the codec's contract allows it, so this part checks only what
//    holds for every word.
// 2. A codeword and damage it must undo: 12 data symbols (low 5 bits),
//    systematically encoded; one byte picks e = 0..2 wrong symbols and f
//    erasures with 2e + f <= 4; then for each of the f + e damaged elements a
//    byte choosing it among those not yet chosen and a byte for the value
//    XORed in (any value for an erasure, nonzero for a wrong symbol).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "fec/decode_rs.h"
#include "fec/link_codec.h"
#include "fuzz/check.h"
#include "tools/gen/signal_gen.h"

namespace morvix {
namespace {

constexpr int32_t kUntouched = -7;  // in positions entries the codec must not write

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

using Word = std::vector<unsigned char>;
using Positions = std::vector<int32_t>;

void check_any_word(Reader& in) {
  Word word(kLinkSymbols);
  for (auto& s : word) s = static_cast<unsigned char>(in.next() & 31);
  const int erasures = in.next() % (kLinkParity + 1);
  Positions positions(kLinkParity, kUntouched);
  for (int k = 0; k < kLinkParity; ++k) {
    const int32_t p = kLinkPad + in.next() % kLinkSymbols;
    if (k < erasures) positions[static_cast<size_t>(k)] = p;
  }

  const Word before = word;
  const Positions given = positions;
  const int result = decode_rs_char(link_codec(), word.data(), positions.data(), erasures);
  FUZZ_CHECK(result >= -1 && result <= kLinkParity);
  if (result <= 0) {
    FUZZ_CHECK(word == before);
    FUZZ_CHECK(positions == given);
  } else {
    // The roots come in ascending position order, pad region included, and
    // only elements at located positions change.
    for (int k = 0; k < result; ++k) {
      const int32_t p = positions[static_cast<size_t>(k)];
      FUZZ_CHECK(p >= 0 && p < kLinkFullLength);
      if (k > 0) FUZZ_CHECK(p > positions[static_cast<size_t>(k) - 1]);
    }
    for (int k = result; k < kLinkParity; ++k) {
      FUZZ_CHECK(positions[static_cast<size_t>(k)] == given[static_cast<size_t>(k)]);
    }
    for (int j = 0; j < kLinkSymbols; ++j) {
      const auto jj = static_cast<size_t>(j);
      FUZZ_CHECK(word[jj] <= 31);
      if (word[jj] != before[jj]) {
        FUZZ_CHECK(std::count(positions.begin(), positions.begin() + result, kLinkPad + j) == 1);
      }
    }
  }

  // Without erasures the positions array is optional and changes nothing.
  if (erasures == 0) {
    Word again = before;
    FUZZ_CHECK(decode_rs_char(link_codec(), again.data(), nullptr, 0) == result);
    FUZZ_CHECK(again == word);
  }
}

void check_codeword(Reader& in) {
  uint8_t data[kLinkDataSymbols];
  for (auto& s : data) s = static_cast<uint8_t>(in.next() & 31);
  uint8_t encoded[kLinkSymbols];
  gen::rs_encode(data, encoded);
  const Word codeword(encoded, encoded + kLinkSymbols);

  const int pick = in.next();
  const int errors = pick % 3;
  const int erasures = (pick / 3) % (kLinkParity + 1 - 2 * errors);

  // Damaged elements: a partial shuffle of the 16, erasures first.
  std::vector<int> elements(kLinkSymbols);
  std::iota(elements.begin(), elements.end(), 0);
  Word word = codeword;
  Positions positions(kLinkParity, kUntouched);
  bool damaged = false;
  for (int k = 0; k < erasures + errors; ++k) {
    const auto kk = static_cast<size_t>(k);
    std::swap(elements[kk], elements[kk + static_cast<size_t>(in.next() % (kLinkSymbols - k))]);
    const int value = k < erasures ? in.next() & 31 : 1 + in.next() % 31;
    word[static_cast<size_t>(elements[kk])] ^= static_cast<unsigned char>(value);
    damaged = damaged || value != 0;
    if (k < erasures) positions[kk] = kLinkPad + elements[kk];
  }

  const Positions given = positions;
  const int result = decode_rs_char(link_codec(), word.data(), positions.data(), erasures);
  FUZZ_CHECK(word == codeword);
  if (!damaged) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(positions == given);
    return;
  }
  // Every root counts: the erasures, right or wrong, and the wrong symbols.
  const int roots = erasures + errors;
  FUZZ_CHECK(result == roots);
  std::vector<int32_t> expected;
  for (int k = 0; k < roots; ++k) expected.push_back(kLinkPad + elements[static_cast<size_t>(k)]);
  std::sort(expected.begin(), expected.end());
  FUZZ_CHECK(std::equal(expected.begin(), expected.end(), positions.begin()));
  for (int k = roots; k < kLinkParity; ++k)
    FUZZ_CHECK(positions[static_cast<size_t>(k)] == kUntouched);
}

}  // namespace
}  // namespace morvix

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  morvix::Reader in(data, size);
  morvix::check_any_word(in);
  morvix::check_codeword(in);
  return 0;
}
