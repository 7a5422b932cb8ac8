// SPDX-License-Identifier: Apache-2.0
#include "bench/reference_receiver.h"

#include <cmath>
#include <cstdlib>

#include "decoder/block_layout.h"
#include "decoder/crc.h"
#include "decoder/decoder.h"
#include "decoder/frame_format.h"
#include "fec/link_codec.h"

namespace morvix::bench {

namespace {

// Room for the most blocks' data bits, rounded up to whole bytes.
constexpr int kFrameRoom = (kMaxFrameBlocks * kBlockDataBits + 7) / 8;

constexpr double kScale = 64;  // weights per unit of log-likelihood ratio

int sample_at(const std::vector<uint8_t>& samples, int64_t i) {
  if (i < 0 || i / 8 >= static_cast<int64_t>(samples.size())) return -1;
  return (samples[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1;
}

// The window of line bit `bit` of the frame starting at start.
int64_t window_start(const ReferenceReceiver& r, int64_t start, int bit) {
  return start + static_cast<int64_t>(bit) * r.sps - r.before;
}

int window_size(const ReferenceReceiver& r) { return r.sps * 5 / 2; }

// The soft value of line bit `bit` by weight[table]: > 0 for a 1.
int soft_by(const ReferenceReceiver& r, int table, const std::vector<uint8_t>& samples,
            int64_t start, int bit) {
  const int64_t first = window_start(r, start, bit);
  int sum = 0;
  for (int j = 0; j < window_size(r); ++j) {
    const int sample = sample_at(samples, first + j);
    if (sample >= 0) sum += r.weight[table][sample][static_cast<size_t>(j)];
  }
  return sum;
}

// Which weights read line bit `bit`: by the first reading of its neighbours.
int context(const ReferenceReceiver& r, const std::vector<uint8_t>& samples, int64_t start,
            int bit) {
  return 1 + 2 * (soft_by(r, 0, samples, start, bit - 1) > 0) +
         (soft_by(r, 0, samples, start, bit + 1) > 0);
}

int soft_value(const ReferenceReceiver& r, const std::vector<uint8_t>& samples, int64_t start,
               int bit) {
  return soft_by(r, context(r, samples, start, bit), samples, start, bit);
}

// Counts, for weight[table], the samples around each line bit of every frame.
void learn_table(ReferenceReceiver& r, int table, const std::vector<uint8_t>& samples,
                 const std::vector<int64_t>& starts,
                 const std::vector<std::vector<uint8_t>>& bits) {
  const auto size = static_cast<size_t>(window_size(r));
  // zeros[v][j]: samples of 0 at window place j around line bits of value v, of all[v][j].
  std::vector<double> zeros[2], all[2];
  for (int v = 0; v < 2; ++v) zeros[v].assign(size, 1), all[v].assign(size, 2);
  for (size_t f = 0; f < starts.size(); ++f) {
    for (size_t k = 0; k < bits[f].size(); ++k) {
      const int bit = static_cast<int>(k);
      if (table > 0 && context(r, samples, starts[f], bit) != table) continue;
      const int64_t first = window_start(r, starts[f], bit);
      for (size_t j = 0; j < size; ++j) {
        const int sample = sample_at(samples, first + static_cast<int64_t>(j));
        if (sample < 0) continue;
        zeros[bits[f][k]][j] += sample == 0;
        all[bits[f][k]][j] += 1;
      }
    }
  }
  for (int v = 0; v < 2; ++v) r.weight[table][v].assign(size, 0);
  for (size_t j = 0; j < size; ++j) {
    const double p1 = zeros[1][j] / all[1][j], p0 = zeros[0][j] / all[0][j];
    r.weight[table][0][j] = static_cast<int32_t>(std::lround(kScale * std::log(p1 / p0)));
    r.weight[table][1][j] =
        static_cast<int32_t>(std::lround(kScale * std::log((1 - p1) / (1 - p0))));
  }
}

// Decodes block b of the frame and puts its 60 data bits into frame.
// Returns false when no test word decodes.
bool read_block(const ReferenceReceiver& r, const std::vector<uint8_t>& samples, int64_t start,
                int b, unsigned char* frame) {
  const int first_bit = kSyncBits + b * kBlockBits;
  unsigned char line_bits[kBlockBits];
  int soft[kBlockBits];
  for (int k = 0; k < kBlockBits; ++k) {
    soft[k] = soft_value(r, samples, start, first_bit + k);
    line_bits[k] = soft[k] > 0 ? 1 : 0;
  }
  unsigned char symbols[kBlockSymbols];
  block_symbols(line_bits, symbols);
  int32_t reliability[kChaseBits];
  for (int s = 0; s < kBlockSymbols; ++s) {
    for (int l = 0; l < kSymbolBits; ++l) {
      reliability[s * kSymbolBits + l] = std::abs(soft[symbol_line_bit(s, l)]);
    }
  }
  ChaseResult result;
  if (!chase_decode(r.tables, reliability, r.flips, symbols, result)) return false;
  for (int s = 0; s < kDataSymbols; ++s) {
    for (int l = 0; l < kSymbolBits; ++l) {
      const int at = b * kBlockDataBits + s * kSymbolBits + l;
      if ((symbols[s] >> l) & 1) frame[at / 8] |= static_cast<unsigned char>(1 << (at % 8));
    }
  }
  return true;
}

}  // namespace

void reference_setup(ReferenceReceiver& r, int flips) {
  chase_setup(r.tables, *link_codec());
  r.flips = flips;
}

void reference_learn(ReferenceReceiver& r, const std::vector<uint8_t>& samples,
                     const std::vector<int64_t>& starts,
                     const std::vector<std::vector<uint8_t>>& bits, int sps) {
  r.sps = sps;
  r.before = sps / 2;
  for (int table = 0; table < 5; ++table) learn_table(r, table, samples, starts, bits);
}

std::vector<uint8_t> reference_decode(const ReferenceReceiver& r,
                                      const std::vector<uint8_t>& samples, int64_t start) {
  unsigned char frame[kFrameRoom] = {};
  if (!read_block(r, samples, start, 0, frame)) return {};
  const int fill = frame[kFillBitsByte], blocks = frame[kBlocksByte];
  if (!crc_matches(frame, kHeaderCrcCovers, frame + kHeaderCrcCovers) ||
      !header_in_range(fill, blocks)) {
    return {};
  }
  for (int b = 1; b < blocks; ++b) {
    if (!read_block(r, samples, start, b, frame)) return {};
  }
  const int payload = frame_length(fill, blocks) - kFrameOverheadBytes;
  if (payload <= 0 || !crc_matches(frame + kHeaderBytes, payload, frame + kHeaderBytes + payload)) {
    return {};
  }
  return {frame, frame + payload + kFrameOverheadBytes};
}

int reference_count(ReferenceReceiver& r, const std::vector<uint8_t>& samples,
                    const std::vector<int64_t>& starts,
                    const std::vector<std::vector<uint8_t>>& bits,
                    const std::vector<std::vector<uint8_t>>& sent, int sps, int& wrong) {
  reference_learn(r, samples, starts, bits, sps);
  int count = 0;
  for (size_t i = 0; i < starts.size(); ++i) {
    const std::vector<uint8_t> frame = reference_decode(r, samples, starts[i]);
    if (frame == sent[i]) {
      ++count;
    } else if (!frame.empty()) {
      ++wrong;
    }
  }
  return count;
}

}  // namespace morvix::bench
