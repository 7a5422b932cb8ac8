// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_values.h"

#include <algorithm>
#include <bit>
#include <climits>

#include "decoder/sync_word.h"

namespace morvix {

namespace {

constexpr int kTrackShift = 3;  // a transition moves the clock by 1/8 of what it measures

// The samples from the search position on, read as a line.
struct Samples {
  explicit Samples(const SampleRing& r) : words(r), skip(7 - r.brdb) {}

  // The n samples (1 .. kRingWordSamples) from offset (>= 0) on, the
  // earliest in bit n - 1.
  uint64_t at(long offset, int n) const { return words.at(skip + offset) >> (64 - n); }

  // Samples of 1 among the n samples from offset on.
  int ones(long offset, int n) const {
    int total = 0;
    for (; n > kRingWordSamples; n -= kRingWordSamples, offset += kRingWordSamples) {
      total += std::popcount(at(offset, kRingWordSamples));
    }
    return total + std::popcount(at(offset, n));
  }

  const RingWords words;
  const long skip;
};

// The decimated value's 30 samples, the earliest in bit 63; first_read:
// what the first of its reads read.
uint64_t gathered(const SoftTaps& t, const Samples& samples, long q, int sps,
                  uint64_t& first_read) {
  const long first = q - sps;
  if (t.reads == 2) {  // sps 20 .. 37
    first_read = samples.at(first + t.read_at[0], t.read_len[0]);
    const uint64_t g =
        extract_bits(first_read, t.read_mask[0]) << t.read_picks[1] |
        extract_bits(samples.at(first + t.read_at[1], t.read_len[1]), t.read_mask[1]);
    return g << (64 - kSoftTaps);
  }
  uint64_t g = 0;
  for (int r = 0; r < t.reads; ++r) {
    const uint64_t w = samples.at(first + t.read_at[r], t.read_len[r]);
    if (r == 0) first_read = w;
    g = (g << t.read_picks[r]) | extract_bits(w, t.read_mask[r]);
  }
  return g << (64 - kSoftTaps);
}

// The samples a value at q looks at (decimated: its gathered samples), the
// earliest in bit 63.
inline uint64_t value_samples(const SoftTaps& t, const Samples& samples, long q, int sps,
                              uint64_t& first_read) {
  if (t.decimated) return gathered(t, samples, q, sps, first_read);
  return samples.at(q - sps, t.span) << (64 - t.span);
}

// The value of set `set` for the samples w (as value_samples holds them).
inline int32_t value_of(const SoftValues& v, uint64_t w, int set) {
  const int32_t* table = v.bank.sets[set].table;
  int32_t value = v.bank.sets[set].constant;
  if (v.taps.decimated) {  // always 4: unrolled
    return value + table[w >> 56] + table[256 + (w >> 48 & 0xFF)] + table[512 + (w >> 40 & 0xFF)] +
           table[768 + (w >> 32 & 0xFF)];
  }
  for (int c = 0; c < v.taps.chunks; ++c)
    value += table[c * 256 + static_cast<int>((w >> (56 - 8 * c)) & 0xFF)];
  return value;
}

// The bits of a value's samples (as value_samples holds them) from its
// sample `from` on.
uint64_t samples_from(const SoftTaps& t, long from) {
  if (from <= 0) return ~uint64_t{0};
  if (!t.decimated) return from >= 64 ? 0 : ~uint64_t{0} >> from;
  uint64_t mask = 0;
  for (int i = 0; i < kSoftTaps; ++i) {
    if ((t.slot[i] + t.slot[i + 1] - 1) / 2 >= from) mask |= uint64_t{1} << (63 - i);
  }
  return mask;
}

}  // namespace

int32_t soft_value(const SoftValues& v, const SampleRing& r, long q) {
  uint64_t first_read = 0;
  return value_of(v, value_samples(v.taps, Samples(r), q, r.sps, first_read), v.bank.active);
}

void soft_values_of_sets(const SoftValues& v, const SampleRing& r, long q, unsigned sets,
                         int32_t* values) {
  uint64_t first_read = 0;
  const uint64_t w = value_samples(v.taps, Samples(r), q, r.sps, first_read);
  for (; sets != 0; sets &= sets - 1) {
    const int k = std::countr_zero(sets);
    values[k] = value_of(v, w, k);
  }
}

void soft_features(const SoftTaps& t, const SampleRing& r, long q, double* x) {
  uint64_t first_read = 0;
  const uint64_t w = value_samples(t, Samples(r), q, r.sps, first_read);
  for (int i = 0; i < kSoftTaps; ++i) {
    if (t.decimated) {
      x[i] = (w >> (63 - i) & 1) ? -1.0 : 1.0;
      continue;
    }
    // The share of the slot's samples that are 0, from -1 to 1.
    const int n = t.slot[i + 1] - t.slot[i];
    x[i] =
        n == 0 ? 0 : static_cast<double>(n - 2 * std::popcount((w << t.slot[i]) >> (64 - n))) / n;
  }
  x[kSoftTaps] = 1;
  for (int i = kSoftFeatures; i < kLearnerRow; ++i) x[i] = 0;
}

long soft_bytes_needed(const BitClock& c, const SampleRing& r, int count) {
  const long bits = count + count / 32 + 4;
  const long last = c.pos / kSoftUnit + bits * r.sps;
  return (7 - r.brdb + last) / 8;
}

void soft_lock(BitClock& c, const SampleRing& r, int place) {
  const int sps = r.sps;
  const Samples samples(r);
  // Where the sync word's transitions show, per direction: a slicer off
  // centre shows one direction late and the other early.
  long sum[2] = {0, 0};
  int count[2] = {0, 0};
  for (int j = 1; j < kSyncBits; ++j) {
    const int bit = kSyncLineBits[static_cast<size_t>(j)];
    if (bit == kSyncLineBits[static_cast<size_t>(j - 1)]) continue;
    const long q = place + static_cast<long>(j) * sps;
    const int ones = samples.ones(q - sps / 2, sps + sps / 2);
    const int old = bit ? ones : sps + sps / 2 - ones;  // samples still showing the bit before
    sum[bit] += old - sps / 2;
    ++count[bit];
  }
  for (int b = 0; b < 2; ++b) {
    c.edge[b] = count[b] ? static_cast<int>(sum[b] * kSoftUnit / count[b]) : 0;
  }
  c.pos = (static_cast<int64_t>(place) + static_cast<int64_t>(kSyncBits) * sps) * kSoftUnit;
  c.last_bit = kSyncLineBits[kSyncBits - 1];
}

void read_soft_bits(BitClock& c, const SoftValues& v, const SampleRing& r, int count,
                    int32_t* values) {
  const SoftTaps& t = v.taps;
  const Samples samples(r);
  const int sps = r.sps;
  // At the end of a transmission the samples past the last are unknown: a
  // value that looks at them takes the mean of both readings of them, which
  // weighs them 0.
  const long known = input_at_end(r) ? arrived_samples(r) : LONG_MAX;
  const int64_t bit_length = static_cast<int64_t>(sps) * kSoftUnit;
  const int64_t limit = sps >= 4 ? bit_length / 4 : 0;
  int64_t pos = c.pos;
  int last = c.last_bit;
  for (int i = 0; i < count; ++i, pos += bit_length) {
    const long q = static_cast<long>((pos + kSoftUnit / 2) / kSoftUnit);
    uint64_t first_read = 0;
    const uint64_t w = value_samples(t, samples, q, sps, first_read);
    const int k = v.bank.active;
    int32_t value = value_of(v, w, k);
    const long unknown_from = known - (q - sps);
    if (unknown_from < t.span)
      value = (value + value_of(v, w ^ samples_from(t, unknown_from), k)) / 2;
    values[i] = value;
    if (i < kBlockBits) c.bit_at[i] = q;
    const int bit = value > 0 ? 1 : 0;
    const int edge = (c.edge[bit] + kSoftUnit / 2) / kSoftUnit;
    // An edge whose samples have not all arrived moves nothing.
    if (bit != last && limit > 0 && q + edge - sps / 2 + sps <= known) {
      // Samples still showing the bit before in a bit's length around
      // where this direction's transitions show: how far the edge is off.
      // The value's own samples hold them where the edge is within half a
      // bit of the bit's start, as it is at all but extreme slicer offsets.
      const int from = sps + edge - sps / 2;     // in the value's samples
      const int in_first = from - t.read_at[0];  // or in the decimated value's first read
      int ones;
      if (!t.decimated && from >= 0 && from + sps <= t.span) {
        ones = std::popcount((w << from) >> (64 - sps));
      } else if (t.decimated && in_first >= 0 && in_first + sps <= t.read_len[0]) {
        ones = std::popcount((first_read << (64 - t.read_len[0] + in_first)) >> (64 - sps));
      } else {
        ones = samples.ones(q + edge - sps / 2, sps);
      }
      const int old = bit ? ones : sps - ones;
      const int64_t seen = static_cast<int64_t>(edge - sps / 2 + old) * kSoftUnit;
      const int64_t error = std::clamp<int64_t>(
          seen - c.edge[bit] - (pos - static_cast<int64_t>(q) * kSoftUnit), -limit, limit);
      pos += error / (1 << kTrackShift);
    }
    last = bit;
  }
  c.pos = pos;
  c.last_bit = last;
}

}  // namespace morvix
