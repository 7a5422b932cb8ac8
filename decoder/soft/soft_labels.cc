// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_labels.h"

#include <algorithm>
#include <climits>
#include <numeric>

#include "decoder/soft/soft_bank.h"
#include "decoder/soft/soft_values.h"

namespace morvix {

namespace {

// A frame teaches when at most one decoded bit in kAgainstShare goes against
// its soft value and its blocks' Chase metrics average at most kTrustMetric.
constexpr int kAgainstShare = 12;
constexpr int64_t kTrustMetric = 12 * kSoftUnit;
// Labels this sure and right (|L| in LLR) would teach nearly nothing
// (p (1 - p) < 4e-4): they are passed over.
constexpr int32_t kSureValue = 8 * kSoftUnit;
// A label is earned per kBitsPerLabel line bits' worth of input; at most
// kMaxCredit are saved up (what the first frames learn from) and at most
// kFrameLabels learned from a frame.
constexpr int kBitsPerLabel = 100;
constexpr int64_t kMaxCredit = 4096;
constexpr int kFrameLabels = 512;
// A set that has learned from kYoungSteps frames takes at most
// kSettledLabels a frame, leaving the credit to sets still finding their
// channel (another transmitter's, a changed channel's).
constexpr int kYoungSteps = 50;
constexpr int kSettledLabels = 12;
constexpr int kSettledStride = 8;  // about 10 of a block's 80 code bits
// A step (a solve and new tables) waits for this many labels.
constexpr int kStepLabels = 64;
// Labels are taken about every kPickStride-th from a place that moves from
// frame to frame, so they spread over the frame's bits.
constexpr int kPickStride = 97;

}  // namespace

void labels_start(LabelBuffer& l, const SoftLearner& reading) {
  l.stride = reading.steps < kYoungSteps ? 1 : kSettledStride;
  l.phase = static_cast<int>(l.frames % l.stride);
  l.sync_kept = (kSyncBits - l.phase + l.stride - 1) / l.stride;
  l.count = l.sync_kept;  // placed when the frame is learned from
  l.against = 0;
  l.blocks = 0;
  l.metric_sum = 0;
}

void labels_reset(LabelBuffer& l) {
  l.frames = 0;
  l.credit.credit = kMaxCredit;
  l.credit.bytes_in = 0;
  labels_start(l, SoftLearner{});
}

void labels_add_block(LabelBuffer& l, const long* bit_at, const int32_t* values,
                      const unsigned char* flipped, int32_t metric) {
  ++l.blocks;
  l.metric_sum += metric;
  if (l.count + kBlockSymbols * kSymbolBits > kMaxLabels) return;
  for (int sym = 0; sym < kBlockSymbols; ++sym) {
    for (int b = 0; b < kSymbolBits; ++b) l.against += flipped[sym] >> b & 1;
  }
  // Without branches: each bit is written, and kept by moving on.
  int count = l.count;
  for (int c = l.phase; c < kBlockSymbols * kSymbolBits; c += l.stride) {
    const int k = symbol_line_bit(c / kSymbolBits, c % kSymbolBits);
    const int32_t v = values[k];
    const int changed = flipped[c / kSymbolBits] >> (c % kSymbolBits) & 1;
    l.at[count] = static_cast<int32_t>(bit_at[k]);
    l.bit[count] = static_cast<uint8_t>((v > 0) ^ changed);
    count += changed | (v <= kSureValue && v >= -kSureValue);
  }
  l.count = count;
}

void soft_learn_frame(LabelBuffer& l, SoftValues& v, const SampleRing& r, int place) {
  earn_credit(l.credit, r, int64_t{kBitsPerLabel} * r.sps, kMaxCredit);
  const int bits = l.blocks * kBlockSymbols * kSymbolBits;
  if (bits <= 0 || kAgainstShare * l.against > bits || l.metric_sum > kTrustMetric * l.blocks) {
    return;
  }
  WeightBank& b = v.bank;
  ++b.frames;
  const int k = bank_set_to_teach(b, b.active);
  if (b.batch_set != k) bank_flush(b);
  b.batch_set = k;
  ++b.batch_frames;
  const SoftLearner& learner = b.sets[k].learner;
  // The sync word's bits, then the blocks'.
  for (int i = 0; i < l.sync_kept; ++i) {
    const int j = l.phase + i * l.stride;
    l.at[i] = static_cast<int32_t>(place + static_cast<long>(j) * r.sps);
    l.bit[i] = kSyncLineBits[static_cast<size_t>(j)];
  }
  const int most = learner.steps < kYoungSteps ? kFrameLabels : kSettledLabels;
  const int budget = b.batch.count + static_cast<int>(std::min<int64_t>(l.credit.credit, most));
  const int before = b.batch.count;
  const int n = l.count;
  // At the end of a transmission a frame's last bits may look past the
  // last sample: those are not learned from.
  const long known = input_at_end(r) ? arrived_samples(r) : LONG_MAX;
  if (n == 0) return;
  int step = n > 1 ? kPickStride % n : 0;  // a step prime to n visits every label once
  while (n > 1 && std::gcd(step, n) != 1) step = (step + 1) % n;
  int i = static_cast<int>(l.frames++ * 7919 % n);
  for (int seen = 0; seen < n && b.batch.count < budget; ++seen) {
    if ((i += step) >= n) i -= n;
    if (l.at[i] + 2L * r.sps > known) continue;
    double x[kLearnerRow];
    soft_features(v.taps, r, l.at[i], x);
    batch_add(b.batch, learner, x, l.bit[i]);
  }
  l.credit.credit -= b.batch.count - before;
  if (b.batch.count >= kStepLabels) bank_flush(b);
}

}  // namespace morvix
