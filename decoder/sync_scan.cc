// SPDX-License-Identifier: Apache-2.0
#include "decoder/sync_scan.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "decoder/sync_word.h"

// A word of B bytes holds 8 B attempts, one per lane: lane i is the attempt
// at sample 8k + i for a word that starts at byte k, so the word is simply
// the B bytes from byte k on. Sync bit j of every lane is the sample j * sps
// later, that is the same B bytes read (j * sps) / 8 bytes on and shifted
// left by (j * sps) % 8 bits, pulling in the top bits of the byte after each.
// A bit-sliced counter adds up the wrong bits of all lanes together; once
// every lane is past the limit the word is given up, usually after some 25 of its 40
// bits.
//
// The vectors are GCC/clang vector extensions, one machine register wide:
// 16 bytes in the portable build (SSE2 on x86-64, NEON on arm64), 32 in the
// AVX2 build. Their 16-bit elements keep every shift (0 to 8 bits) defined;
// the byte masks undo what crosses from one byte into the other, so the
// result is the same on either endianness.

namespace morvix {

namespace {

constexpr int kMaxWordBytes = 32;

// No lane can be past 5 before its sixth bit; after that, looking every few
// bits costs less than the bits it wastes.
constexpr int kFirstCheck = 8;
constexpr int kCheckEvery = 4;
static_assert((kSyncBits - kFirstCheck) % kCheckEvery == 0);

using Row = std::array<uint8_t, kMaxWordBytes>;

// Per shift s, every byte 0xFF << s: the bits a byte keeps of itself.
constexpr std::array<Row, 8> kKeep = [] {
  std::array<Row, 8> keep{};
  for (unsigned s = 0; s < 8; ++s) keep[s].fill(static_cast<uint8_t>(0xFF << s));
  return keep;
}();

// Per sync bit, what turns a sample into "wrong": a sample is wrong when it
// equals the line bit, so a line bit of 0 flips every sample.
constexpr std::array<Row, kSyncBits> kFlip = [] {
  std::array<Row, kSyncBits> flip{};
  for (unsigned j = 0; j < kSyncBits; ++j) {
    const bool line_bit = (kSyncWord[j / 8] >> (7 - j % 8)) & 1;
    flip[j].fill(line_bit ? 0 : 0xFF);
  }
  return flip;
}();

// The lanes of a word of `bytes` bytes at sample `base` outside first ..
// last, as set bits.
Row lanes_outside(int bytes, long base, long first, long last) {
  Row out{};
  for (int b = 0; b < bytes; ++b) {
    const long lo = base + 8 * b;
    unsigned inside = 0xFF;
    if (lo < first) inside = first - lo >= 8 ? 0 : inside >> (first - lo);
    // Lane 0 is the byte's top bit: lanes past `last` are its low bits.
    if (lo + 7 > last) inside &= lo + 7 - last >= 8 ? 0 : (0xFFu << (lo + 7 - last)) & 0xFF;
    out[static_cast<size_t>(b)] = static_cast<uint8_t>(~inside);
  }
  return out;
}

// The earliest lane not set; the caller knows there is one.
int first_clear_lane(const Row& dead) {
  size_t b = 0;
  while (dead[b] == 0xFF) ++b;
  return 8 * static_cast<int>(b) + std::countl_one(dead[b]);
}

// The vector types of each width (GCC takes no vector size from a template
// parameter).
template <int kBytes>
struct Vectors;
template <>
struct Vectors<16> {
  using Lanes = uint16_t __attribute__((vector_size(16)));
  using Quads = uint64_t __attribute__((vector_size(16)));
};
template <>
struct Vectors<32> {
  using Lanes = uint16_t __attribute__((vector_size(32)));
  using Quads = uint64_t __attribute__((vector_size(32)));
};

// Vectors go by reference throughout: one passed by value would change the
// calling convention between the two builds.
template <int kBytes, int kMaxWrong>
struct Counts {
  using Lanes = typename Vectors<kBytes>::Lanes;
  using Quads = typename Vectors<kBytes>::Quads;

  // Wrong bits so far per lane, bit-sliced: c0 + 2 c1 + 4 c2 (+ 8 c3 for
  // the improved reading's limit of 7), the top slice held once reached. At
  // the limit of 5, 6 and 7 show as c2 & c1 on the way up and stay in dead
  // from then on; at 7, 8 is c3.
  Lanes c0{}, c1{}, c2{}, c3{}, dead{};

  [[gnu::always_inline]] static void load(Lanes& v, const unsigned char* p) {
    std::memcpy(&v, p, sizeof v);
  }

  // Adds sync bit j of every lane of the word at `word`: the samples at
  // offset `at` (j * sps) from each lane's first.
  [[gnu::always_inline]] void add(const unsigned char* word, int j, unsigned at) {
    const unsigned shift = at % 8;
    const unsigned char* p = word + at / 8;
    Lanes keep, flip, here, next;
    load(keep, kKeep[shift].data());
    load(flip, kFlip[static_cast<size_t>(j)].data());
    load(here, p);
    load(next, p + 1);
    const Lanes samples = ((here << shift) & keep) | ((next >> (8 - shift)) & ~keep);
    const Lanes wrong = samples ^ flip;
    const Lanes carry0 = c0 & wrong;
    c0 ^= wrong;
    if constexpr (kMaxWrong == kMaxSyncWrongBits) {
      c2 |= c1 & carry0;
      c1 ^= carry0;
      dead |= c2 & c1;
    } else {
      static_assert(kMaxWrong == kMaxCandidateWrongBits);
      const Lanes carry1 = c1 & carry0;
      c1 ^= carry0;
      c3 |= c2 & carry1;
      c2 ^= carry1;
      dead |= c3;
    }
  }

  [[gnu::always_inline]] bool all_dead() const {
    const Quads q = reinterpret_cast<Quads>(dead);
    uint64_t all = q[0];
    for (int i = 1; i < kBytes / 8; ++i) all &= q[i];
    return all == ~uint64_t{0};
  }
};

template <int kBytes, int kMaxWrong>
[[gnu::always_inline]] inline long scan_words(const unsigned char* bytes, long first, long last,
                                              int sps) {
  const unsigned step = static_cast<unsigned>(sps);
  for (long k = first / 8; 8 * k <= last; k += kBytes) {
    const long base = 8 * k;
    Counts<kBytes, kMaxWrong> n;
    if (base < first || base + 8 * kBytes - 1 > last) {
      const Row outside = lanes_outside(kBytes, base, first, last);
      n.load(n.dead, outside.data());
    }
    const unsigned char* word = bytes + k;
    int j = 0;
    unsigned at = 0;
    for (; j < kFirstCheck; ++j, at += step) n.add(word, j, at);
    bool all_dead = false;
    while (!all_dead && j < kSyncBits) {
      for (int i = 0; i < kCheckEvery; ++i, ++j, at += step) n.add(word, j, at);
      all_dead = n.all_dead();
    }
    if (!all_dead) {
      Row out;
      std::memcpy(out.data(), &n.dead, sizeof n.dead);
      return base + first_clear_lane(out);
    }
  }
  return -1;
}

template <int kMaxWrong>
long scan_portable(const unsigned char* bytes, long first, long last, int sps) {
  return scan_words<16, kMaxWrong>(bytes, first, last, sps);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int kMaxWrong>
[[gnu::target("avx2")]] long scan_avx2(const unsigned char* bytes, long first, long last, int sps) {
  return scan_words<32, kMaxWrong>(bytes, first, last, sps);
}
#endif

template <int kMaxWrong>
long scan_with(const unsigned char* bytes, long first, long last, int sps, bool wide) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (wide) return scan_avx2<kMaxWrong>(bytes, first, last, sps);
#else
  (void)wide;
#endif
  return scan_portable<kMaxWrong>(bytes, first, last, sps);
}

}  // namespace

int sync_scan_slack_bytes(int sps) { return (kSyncBits - 1) * sps / 8 + kMaxWordBytes + 1; }

bool sync_scan_wide_available() {
#if defined(__x86_64__) && defined(__GNUC__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

long scan_for_sync(const unsigned char* bytes, long first, long last, int sps, bool wide,
                   int max_wrong) {
  if (max_wrong == kMaxCandidateWrongBits) {
    return scan_with<kMaxCandidateWrongBits>(bytes, first, last, sps, wide);
  }
  return scan_with<kMaxSyncWrongBits>(bytes, first, last, sps, wide);
}

}  // namespace morvix
