// SPDX-License-Identifier: Apache-2.0
#include "decoder/majority_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "decoder/sample_ring.h"
#include "decoder/sync_search.h"

namespace morvix {

namespace {

// A transition moves the centre by an eighth of the measured offset: quick
// enough for clocks thousands of ppm off (300 ppm moves a bit by 0.003
// samples at 10 samples per bit), slow enough that one noisy edge barely
// moves it.
constexpr int kTrackShift = 3;

inline int popcount64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

constexpr int kMaxSpan = 57;  // the most samples one read returns

// Ones in each byte value: cheaper than popcount64 for the few samples of
// a bit at the usual rates.
constexpr std::array<unsigned char, 256> kByteOnes = [] {
  std::array<unsigned char, 256> ones{};
  for (size_t i = 1; i < ones.size(); ++i)
    ones[i] = static_cast<unsigned char>((i & 1) + ones[i / 2]);
  return ones;
}();

// The samples from the search position on, read as a line: a copy of what
// the reading needs, so that its loop keeps it in registers.
struct Samples {
  explicit Samples(const Decoder& d)
      : ring(d.ring.rxbits.get()),
        size(d.ring.ring_bytes),
        start(d.ring.brdp),
        skip(7 - d.ring.brdb) {}

  // The n samples (1 .. kMaxSpan) from offset (>= 0) on, the earliest in
  // bit n - 1.
  uint64_t at(long offset, int n) const {
    const long bits = skip + offset;
    int byte = start + static_cast<int>(bits >> 3);
    if (byte >= size) byte -= size;
    uint64_t w = 0;
    if (byte + 8 <= size) {
      std::memcpy(&w, ring + byte, sizeof w);
      if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    } else {
      for (int i = 0; i < 8; ++i) {
        w = (w << 8) | ring[byte];
        if (++byte == size) byte = 0;
      }
    }
    return (w << (bits & 7)) >> (64 - n);
  }

  // Samples of 1 among the n samples from offset (>= 0) on.
  int ones(long offset, int n) const {
    int total = 0;
    for (; n > kMaxSpan; n -= kMaxSpan, offset += kMaxSpan)
      total += popcount64(at(offset, kMaxSpan));
    return total + popcount64(at(offset, n));
  }

  const unsigned char* ring;
  int size;
  int start;  // the search position's byte ...
  int skip;   // ... and the samples before it in that byte
};

// The sample nearest to a centre (>= 0).
static_assert(kCentreUnit == 1 << 8);
long centre_sample(int64_t centre) { return static_cast<long>((centre + kCentreUnit / 2) >> 8); }

// The phases in a row, from the search position on and at most sps, at which
// the sync word matches with its 40 bits read one sample each.
int eye_run(const Decoder& d) {
  const Samples samples(d);
  const int sps = d.ring.sps;
  for (int first = 0; first < sps; first += kMaxSpan) {
    const int n = std::min(kMaxSpan, sps - first);
    // Bit n - 1 - k of wrong[j]: sync bit j read at phase first + k is wrong.
    uint64_t wrong[kSyncBits];
    for (int j = 0; j < kSyncBits; ++j) {
      const uint64_t expected = d.sync.match_table[j] ? 0 : (uint64_t{1} << n) - 1;
      wrong[j] = samples.at(static_cast<long>(j) * sps + first, n) ^ expected;
    }
    for (int k = 0; k < n; ++k) {
      int differences = 0;
      for (int j = 0; j < kSyncBits && differences <= kMaxSyncErrors; ++j) {
        differences += static_cast<int>((wrong[j] >> (n - 1 - k)) & 1);
      }
      if (differences > kMaxSyncErrors) return std::max(first + k, 1);
    }
  }
  return sps;
}

// Samples the search has moved on since the sync word that the last
// improved reading began at.
long eye_distance(const Decoder& d) {
  long bytes = d.ring.brdp - d.ar_eye_brdp;
  if (bytes < 0) bytes += d.ring.ring_bytes;
  return bytes * 8 + d.ar_eye_brdb - d.ring.brdb;
}

}  // namespace

int64_t eye_centre(const Decoder& d) {
  const int run = eye_run(d);
  return static_cast<int64_t>(run - 1) * (kCentreUnit / 2);
}

// Seven tenths of the bit, made odd: with a band-limited source the samples
// that far from the edges still vote mostly right, and more votes outweigh
// the noise better (at 10 samples per bit, 7 decoded clearly more frames
// than 5, and 9 hardly more than 7).
int majority_window(int sps) { return 2 * (7 * sps / 20) + 1; }

int search_improved(Decoder& d) {
  // Each call moves the search by less than the ring, so a distance taken
  // before and after every call is exact: it never wraps unnoticed.
  if (d.ar_eye_live && eye_distance(d) >= d.ring.sps) d.ar_eye_live = false;
  if (!get_frame_id(d)) return 0;
  if (d.ar_eye_live && eye_distance(d) >= d.ring.sps) d.ar_eye_live = false;
  d.ar_reading = d.improved && !d.ar_eye_live;
  if (d.ar_reading) {
    d.ar_eye_set = false;
    d.ar_eye_live = true;
    d.ar_eye_brdp = d.ring.brdp;
    d.ar_eye_brdb = d.ring.brdb;
  }
  return 1;
}

long majority_bytes_needed(const Decoder& d, int count) {
  // The clock moves the centre by at most 1/32 bit a bit.
  const long bits = count + count / 32 + 2;
  const long last = centre_sample(d.ar_centre) + bits * d.ring.sps + d.ar_window;
  return (7 - d.ring.brdb + last) / 8;
}

int place_eye(Decoder& d) {
  // The run of phases needs the sync word at sps more phases; following the
  // clock over it needs at most two more bits.
  const long needed =
      (7 - d.ring.brdb + static_cast<long>(kSyncBits + 3) * d.ring.sps + d.ar_window) / 8;
  if (needed >= d.ring.brx_count) return awaiting_input(d.ring);
  // Start on sync bit 1: bit 0's window could reach before the search
  // position, and its value is known anyway.
  d.ar_centre = eye_centre(d) + static_cast<int64_t>(d.ring.sps) * kCentreUnit;
  d.ar_last_bit = d.sync.match_table[0];
  unsigned char bits[kSyncBits];
  unsigned char margins[kSyncBits];
  read_majority_bits(d, kSyncBits - 1, bits, margins);
  d.ar_eye_set = true;
  return 1;
}

void read_majority_bits(Decoder& d, int count, unsigned char* bits, unsigned char* margins) {
  const Samples samples(d);
  const int sps = d.ring.sps;
  const int window = d.ar_window;
  const int half = window / 2;
  const bool one_read = sps + half <= kMaxSpan;
  const bool by_table = window <= 8 && sps <= 16;
  const int64_t bit_length = static_cast<int64_t>(sps) * kCentreUnit;
  const int64_t ideal_old = (sps - 1) * (kCentreUnit / 2);
  // Below 4 samples per bit an edge cannot be placed within the bit.
  const int64_t limit = sps >= 4 ? bit_length / 4 : 0;
  int64_t centre = d.ar_centre;
  int last = d.ar_last_bit;
  for (int i = 0; i < count; ++i, centre += bit_length) {
    // One read holds the window around this centre and the samples since
    // the previous one, where sps is small enough.
    const long at = centre_sample(centre);
    int ones;
    int since;  // samples of 1 after the previous centre, up to this one
    if (by_table) {
      const uint64_t span = samples.at(at - sps + 1, sps + half);
      ones = kByteOnes[span & ((1u << window) - 1)];
      since = kByteOnes[(span >> half) & 0xFF] + kByteOnes[(span >> half) >> 8];
    } else if (one_read) {
      const uint64_t span = samples.at(at - sps + 1, sps + half);
      ones = popcount64(span & ((uint64_t{1} << window) - 1));
      since = popcount64(span >> half);
    } else {
      ones = samples.ones(at - half, window);
      since = samples.ones(at - sps + 1, sps);
    }
    const int bit = 2 * ones < window ? 1 : 0;
    bits[i] = static_cast<unsigned char>(bit);
    // Saturated: only above 364 samples per bit can a margin pass 255.
    margins[i] =
        static_cast<unsigned char>(std::min(bit ? window - 2 * ones : 2 * ones - window, 255));
    // At a transition, the samples after the previous centre that still
    // show the previous bit say how far on the edge lies: ideally half a
    // bit from the centre's exact place. Worked out at every bit and kept
    // at transitions: a branch on the data would be guessed wrong half the time.
    const int old = last ? sps - since : since;
    const int64_t error = std::clamp<int64_t>(
        old * kCentreUnit - ideal_old - (centre - at * kCentreUnit), -limit, limit);
    centre += bit != last ? error / (1 << kTrackShift) : 0;
    last = bit;
  }
  d.ar_centre = centre;
  d.ar_last_bit = last;
}

void fall_back_to_literal(Decoder& d) {
  d.ar_reading = false;
  d.block.framep = 0;
  d.block.framebp = 0;
  d.checker.df_state = DfState::kHeaderBlock;
}

}  // namespace morvix
