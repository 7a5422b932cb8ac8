// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_reader.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "decoder/decoder.h"
#include "decoder/soft_sync.h"
#include "decoder/soft_taps.h"

namespace morvix {

namespace {

constexpr int kMaxSpan = 57;  // the most samples one read returns

// std::popcount is a library call where the target has no instruction.
inline int ones64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}
constexpr int kTrackShift = 3;  // a transition moves the clock by 1/8 of what it measures

// The samples from the search position on, read as a line.
struct Samples {
  explicit Samples(const Decoder& d)
      : ring(d.ring.rxbits.get()),
        size(d.ring.ring_bytes),
        start(d.ring.brdp),
        skip(7 - d.ring.brdb) {}

  // The n samples (1 .. kMaxSpan) from offset (>= 0) on, the earliest in bit n - 1.
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

  // Samples of 1 among the n samples from offset on.
  int ones(long offset, int n) const {
    int total = 0;
    for (; n > kMaxSpan; n -= kMaxSpan, offset += kMaxSpan) total += ones64(at(offset, kMaxSpan));
    return total + ones64(at(offset, n));
  }

  const unsigned char* ring;
  int size;
  int start;
  int skip;
};

// The decimated value's 30 samples, the earliest in bit 63; first: what
// the first read read.
inline uint64_t gathered(const SoftReader& s, const Samples& samples, long q, int sps,
                         uint64_t& first_read) {
  const long first = q - sps;
  if (s.reads == 2) {  // sps 20 .. 37
    first_read = samples.at(first + s.read_at[0], s.read_len[0]);
    const uint64_t g =
        extract_bits(first_read, s.read_mask[0]) << s.read_picks[1] |
        extract_bits(samples.at(first + s.read_at[1], s.read_len[1]), s.read_mask[1]);
    return g << (64 - kSoftTaps);
  }
  uint64_t g = 0;
  for (int r = 0; r < s.reads; ++r) {
    const uint64_t w = samples.at(first + s.read_at[r], s.read_len[r]);
    if (r == 0) first_read = w;
    g = (g << s.read_picks[r]) | extract_bits(w, s.read_mask[r]);
  }
  return g << (64 - kSoftTaps);
}

// The samples a value at q looks at, the earliest in bit 63, when they fit
// one read (span <= kMaxSpan).
inline uint64_t window(const SoftReader& s, const Samples& samples, long q, int sps) {
  return samples.at(q - sps, s.span) << (64 - s.span);
}

inline int32_t value_of(const SoftReader& s, uint64_t w, int set) {
  const int32_t* table = s.bank.sets[set].table;
  int32_t v = s.bank.sets[set].constant;
  if (s.decimated) {  // always 4: unrolled
    return v + table[w >> 56] + table[256 + (w >> 48 & 0xFF)] + table[512 + (w >> 40 & 0xFF)] +
           table[768 + (w >> 32 & 0xFF)];
  }
  for (int c = 0; c < s.chunks; ++c)
    v += table[c * 256 + static_cast<int>((w >> (56 - 8 * c)) & 0xFF)];
  return v;
}

int32_t value_at(const SoftReader& s, const Samples& samples, long q, int sps, int set) {
  if (s.span <= kMaxSpan) return value_of(s, window(s, samples, q, sps), set);
  uint64_t first_read = 0;
  if (s.decimated) return value_of(s, gathered(s, samples, q, sps, first_read), set);
  // Seven bytes of samples a read.
  const long first = q - sps;
  const int32_t* table = s.bank.sets[set].table;
  int32_t v = s.bank.sets[set].constant;
  for (int c = 0; c < s.chunks; c += 7) {
    const int n = std::min(56, s.span - 8 * c);
    const uint64_t w = samples.at(first + 8 * c, n) << (64 - n);
    const int last = std::min(s.chunks, c + 7);
    for (int k = c; k < last; ++k) {
      v += table[k * 256 + static_cast<int>((w >> (56 - 8 * (k - c))) & 0xFF)];
    }
  }
  return v;
}

// The bits of a value's samples (as window or gathered hold them, the
// earliest in bit 63) from its sample `from` on.
uint64_t samples_from(const SoftReader& s, long from) {
  if (from <= 0) return ~uint64_t{0};
  if (!s.decimated) return from >= 64 ? 0 : ~uint64_t{0} >> from;
  uint64_t mask = 0;
  for (int i = 0; i < kSoftTaps; ++i) {
    if ((s.slot[i] + s.slot[i + 1] - 1) / 2 >= from) mask |= uint64_t{1} << (63 - i);
  }
  return mask;
}

}  // namespace

void soft_setup(Decoder& d) {
  SoftReader& s = d.soft;
  const int sps = d.ring.sps;
  s.span = 3 * sps;
  for (int i = 0; i <= kSoftTaps; ++i) s.slot[i] = i * sps / 10;
  plan_soft_taps(s, kMaxSpan);
  s.chunks = ((s.decimated ? kSoftTaps : s.span) + 7) / 8;
  bank_reset(s.bank, s.chunks * 256);
  labels_reset(s.labels);
  soft_refresh(d);
  if (d.block.rs != nullptr) chase_setup(s.chase, *d.block.rs);
  s.lookback = soft_lookback(sps);
  s.ahead = s.lookback;
  s.start_next = 1;  // as the literal search, from the second sample
  s.pending = s.literal = s.reading = false;
  s.tried_at = s.judged_until = -1;
  s.chase_credit = 0;
  s.credit_bytes_in = 0;
  s.end_bytes = -1;
}

int32_t soft_value(const Decoder& d, long q) {
  return value_at(d.soft, Samples(d), q, d.ring.sps, d.soft.bank.active);
}

void soft_values_of_sets(const Decoder& d, long q, unsigned sets, int32_t* values) {
  const SoftReader& s = d.soft;
  const Samples samples(d);
  uint64_t first_read = 0;
  const uint64_t w = s.span <= kMaxSpan ? window(s, samples, q, d.ring.sps)
                     : s.decimated      ? gathered(s, samples, q, d.ring.sps, first_read)
                                        : 0;
  for (; sets != 0; sets &= sets - 1) {
    const int k = std::countr_zero(sets);
    values[k] = s.span <= kMaxSpan || s.decimated ? value_of(s, w, k)
                                                  : value_at(s, samples, q, d.ring.sps, k);
  }
}

void soft_features(const Decoder& d, long q, double* x) {
  const SoftReader& s = d.soft;
  const Samples samples(d);
  const long first = q - d.ring.sps;
  if (s.decimated) {
    uint64_t first_read = 0;
    const uint64_t g = gathered(s, samples, q, d.ring.sps, first_read);
    for (int i = 0; i < kSoftTaps; ++i) x[i] = (g >> (63 - i) & 1) ? -1.0 : 1.0;
  } else if (s.span <= kMaxSpan) {
    const uint64_t w = window(s, samples, q, d.ring.sps);
    for (int i = 0; i < kSoftTaps; ++i) {
      const int n = s.slot[i + 1] - s.slot[i];
      x[i] = n == 0 ? 0 : static_cast<double>(n - 2 * ones64((w << s.slot[i]) >> (64 - n))) / n;
    }
  }
  for (int i = 0; i < kSoftTaps && !s.decimated && s.span > kMaxSpan; ++i) {
    const int n = s.slot[i + 1] - s.slot[i];
    if (n == 0) {
      x[i] = 0;
      continue;
    }
    const int ones = samples.ones(first + s.slot[i], n);
    x[i] = static_cast<double>(n - 2 * ones) / n;
  }
  x[kSoftTaps] = 1;
  for (int i = kSoftFeatures; i < kLearnerRow; ++i) x[i] = 0;
}

long soft_bytes_needed(const Decoder& d, int count) {
  const long bits = count + count / 32 + 4;
  const long last = d.soft.pos / kSoftUnit + bits * d.ring.sps;
  return (7 - d.ring.brdb + last) / 8;
}

void soft_lock(Decoder& d) {
  SoftReader& s = d.soft;
  const int sps = d.ring.sps;
  const Samples samples(d);
  // Where the sync word's transitions show, per direction: a slicer off
  // centre shows one direction late and the other early.
  long sum[2] = {0, 0};
  int count[2] = {0, 0};
  for (int j = 1; j < kSyncBits; ++j) {
    const int bit = d.sync.match_table[j];
    if (bit == d.sync.match_table[j - 1]) continue;
    const long q = s.place + static_cast<long>(j) * sps;
    const int ones = samples.ones(q - sps / 2, sps + sps / 2);
    const int old = bit ? ones : sps + sps / 2 - ones;  // samples still showing the bit before
    sum[bit] += old - sps / 2;
    ++count[bit];
  }
  for (int b = 0; b < 2; ++b) {
    s.edge[b] = count[b] ? static_cast<int>(sum[b] * kSoftUnit / count[b]) : 0;
  }
  s.pos = (static_cast<int64_t>(s.place) + static_cast<int64_t>(kSyncBits) * sps) * kSoftUnit;
  s.last_bit = d.sync.match_table[kSyncBits - 1];
}

bool soft_at_end(const Decoder& d) { return d.soft.end_bytes == d.ring.bytes_in; }

long soft_known(const Decoder& d) { return 8L * d.ring.brx_count - (7 - d.ring.brdb); }

void read_soft_bits(Decoder& d, int count, int32_t* values) {
  SoftReader& s = d.soft;
  const Samples samples(d);
  const int sps = d.ring.sps;
  // At the end of a transmission the samples past the last are unknown: a
  // value that looks at them takes the mean of both readings of them, which
  // weighs them 0.
  const long known = soft_at_end(d) ? soft_known(d) : LONG_MAX;
  const int64_t bit_length = static_cast<int64_t>(sps) * kSoftUnit;
  const int64_t limit = sps >= 4 ? bit_length / 4 : 0;
  int64_t pos = s.pos;
  int last = s.last_bit;
  const bool one_read = s.span <= kMaxSpan;
  for (int i = 0; i < count; ++i, pos += bit_length) {
    const long q = static_cast<long>((pos + kSoftUnit / 2) / kSoftUnit);
    uint64_t first_read = 0;
    const uint64_t w = one_read      ? window(s, samples, q, sps)
                       : s.decimated ? gathered(s, samples, q, sps, first_read)
                                     : 0;
    const int k = s.bank.active;
    int32_t v = one_read || s.decimated ? value_of(s, w, k) : value_at(s, samples, q, sps, k);
    const long unknown_from = known - (q - sps);
    if (unknown_from < s.span) v = (v + value_of(s, w ^ samples_from(s, unknown_from), k)) / 2;
    values[i] = v;
    if (i < 85) s.bit_at[i] = q;
    const int bit = v > 0 ? 1 : 0;
    const int edge = (s.edge[bit] + kSoftUnit / 2) / kSoftUnit;
    // An edge whose samples have not all arrived moves nothing.
    if (bit != last && limit > 0 && q + edge - sps / 2 + sps <= known) {
      // Samples still showing the bit before in a bit's length around
      // where this direction's transitions show: how far the edge is off.
      // The value's own samples hold them where the edge is within half a
      // bit of the bit's start, as it is at all but extreme slicer offsets.
      const int from = sps + edge - sps / 2;     // in the value's samples
      const int in_first = from - s.read_at[0];  // or in the decimated value's first read
      const int ones = one_read && from >= 0 && from + sps <= s.span
                           ? ones64((w << from) >> (64 - sps))
                       : s.decimated && in_first >= 0 && in_first + sps <= s.read_len[0]
                           ? ones64((first_read << (64 - s.read_len[0] + in_first)) >> (64 - sps))
                           : samples.ones(q + edge - sps / 2, sps);
      const int old = bit ? ones : sps - ones;
      const int64_t seen = static_cast<int64_t>(edge - sps / 2 + old) * kSoftUnit;
      const int64_t error = std::clamp<int64_t>(
          seen - s.edge[bit] - (pos - static_cast<int64_t>(q) * kSoftUnit), -limit, limit);
      pos += error / (1 << kTrackShift);
    }
    last = bit;
  }
  s.pos = pos;
  s.last_bit = last;
}

}  // namespace morvix
