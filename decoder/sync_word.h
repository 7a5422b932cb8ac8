// SPDX-License-Identifier: Apache-2.0
// The 40-bit sync word that opens every frame on the line, and how many of
// its bits may be wrong in a match. The searches, the readings and the
// signal generator all take it from here.
#pragma once

#include <array>
#include <cstddef>

namespace morvix {

constexpr int kSyncBits = 40;

// The sync word, its first line bit in bit 7 of byte 0.
inline constexpr unsigned char kSyncWord[kSyncBits / 8] = {0x07, 0x09, 0x2A, 0x44, 0x6F};

// A match has at most this many wrong bits; more and it is no sync word.
constexpr int kMaxSyncWrongBits = 5;

// The sync word as one line bit (0 or 1) per entry, the first on the line first.
inline constexpr std::array<unsigned char, kSyncBits> kSyncLineBits = [] {
  std::array<unsigned char, kSyncBits> bits{};
  for (int j = 0; j < kSyncBits; ++j) {
    bits[static_cast<size_t>(j)] =
        static_cast<unsigned char>((kSyncWord[j / 8] >> (7 - j % 8)) & 1);
  }
  return bits;
}();

}  // namespace morvix
