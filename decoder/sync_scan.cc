#include "decoder/sync_scan.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "decoder/sync_search.h"

// One word holds 256 attempts, one per lane: lane i is the attempt at sample
// 8k + i for a word that starts at byte k, so the word is simply the 32 bytes
// from byte k on. Sync bit j of every lane is the sample j * sps later, that
// is the same 32 bytes read (j * sps) / 8 bytes on and shifted left by
// (j * sps) % 8 bits, pulling in the top bits of the byte after each. A
// bit-sliced counter adds up the wrong bits of all lanes together; once every
// lane is past 5 the word is given up, usually after some 25 of its 40 bits.
//
// The vectors are GCC/clang vector extensions: each compiler maps them onto
// whatever the target offers (two SSE2 halves on a plain x86-64, one AVX2
// register in the wide build, NEON elsewhere). Their 16-bit elements keep
// every shift (0 to 8 bits) defined; the byte masks undo what crosses from
// one byte into the other, so the result is the same on either endianness.

namespace morvix {

namespace {

constexpr int kWordBytes = kSyncScanLanes / 8;

using Lanes = uint16_t __attribute__((vector_size(kWordBytes)));
using Quads = uint64_t __attribute__((vector_size(kWordBytes)));
static_assert(sizeof(Lanes) == kWordBytes);

using WordBytes = std::array<uint8_t, kWordBytes>;

// Per shift s, every byte 0xFF << s: the bits a byte keeps of itself.
constexpr std::array<WordBytes, 8> kKeep = [] {
  std::array<WordBytes, 8> keep{};
  for (int s = 0; s < 8; ++s) keep[s].fill(static_cast<uint8_t>(0xFF << s));
  return keep;
}();

// Per sync bit, what turns a sample into "wrong": a sample is wrong when it
// equals the line bit, so a line bit of 0 flips every sample.
constexpr std::array<uint16_t, kSyncBits> kFlip = [] {
  std::array<uint16_t, kSyncBits> flip{};
  for (int j = 0; j < kSyncBits; ++j) {
    const bool line_bit = (kSyncWord[j / 8] >> (7 - j % 8)) & 1;
    flip[j] = line_bit ? 0 : 0xFFFF;
  }
  return flip;
}();

// The lanes of the word at sample `base` outside first .. last, as set bits.
WordBytes lanes_outside(long base, long first, long last) {
  WordBytes out{};
  for (int b = 0; b < kWordBytes; ++b) {
    const long lo = base + 8 * b;
    unsigned inside = 0xFF;
    if (lo < first) inside = first - lo >= 8 ? 0 : inside >> (first - lo);
    if (lo + 7 > last) inside = lo + 7 - last >= 8 ? 0 : (inside << (lo + 7 - last)) & 0xFF;
    out[b] = static_cast<uint8_t>(~inside);
  }
  return out;
}

// The earliest lane not set; the caller knows there is one.
int first_clear_lane(const WordBytes& dead) {
  int b = 0;
  while (dead[b] == 0xFF) ++b;
  return 8 * b + std::countl_one(dead[b]);
}

// By reference: a vector passed by value would change the calling convention
// between the two builds.
[[gnu::always_inline]] inline void load(Lanes& v, const unsigned char* p) {
  std::memcpy(&v, p, sizeof v);
}

[[gnu::always_inline]] inline long scan_words(const unsigned char* bytes, long first, long last,
                                              int sps) {
  for (long k = first / 8; 8 * k <= last; k += kWordBytes) {
    const long base = 8 * k;
    Lanes dead{};
    if (base < first || base + kSyncScanLanes - 1 > last) {
      const WordBytes outside = lanes_outside(base, first, last);
      load(dead, outside.data());
    }
    // Wrong bits so far per lane, bit-sliced: c0 + 2 c1 + 4 c2, with c2
    // held once reached, so that 6 and 7 show as c2 & c1 on the way up.
    Lanes c0{}, c1{}, c2{};
    const unsigned char* word = bytes + k;
    bool all_dead = false;
    for (int j = 0, at = 0; j < kSyncBits; ++j, at += sps) {
      const int shift = at % 8;
      const unsigned char* p = word + at / 8;
      Lanes keep, here, next;
      load(keep, kKeep[shift].data());
      load(here, p);
      load(next, p + 1);
      const Lanes samples = ((here << shift) & keep) | ((next >> (8 - shift)) & ~keep);
      const Lanes wrong = samples ^ kFlip[j];
      const Lanes carry0 = c0 & wrong;
      c0 ^= wrong;
      c2 |= c1 & carry0;
      c1 ^= carry0;
      dead |= c2 & c1;
      // No lane can be past 5 before its sixth bit.
      if (j >= kMaxSyncErrors) {
        const Quads q = reinterpret_cast<Quads>(dead);
        all_dead = (q[0] & q[1] & q[2] & q[3]) == ~uint64_t{0};
        if (all_dead) break;
      }
    }
    if (!all_dead) {
      WordBytes out;
      std::memcpy(out.data(), &dead, sizeof dead);
      return base + first_clear_lane(out);
    }
  }
  return -1;
}

long scan_portable(const unsigned char* bytes, long first, long last, int sps) {
  return scan_words(bytes, first, last, sps);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] long scan_avx2(const unsigned char* bytes, long first, long last, int sps) {
  return scan_words(bytes, first, last, sps);
}
#endif

}  // namespace

int sync_scan_slack_bytes(int sps) { return (kSyncBits - 1) * sps / 8 + kWordBytes + 1; }

bool sync_scan_wide_available() {
#if defined(__x86_64__) && defined(__GNUC__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

long scan_for_sync(const unsigned char* bytes, long first, long last, int sps, bool wide) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (wide) return scan_avx2(bytes, first, last, sps);
#else
  (void)wide;
#endif
  return scan_portable(bytes, first, last, sps);
}

}  // namespace morvix
