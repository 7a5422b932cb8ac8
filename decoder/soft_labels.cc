// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_labels.h"

#include <algorithm>

#include "decoder/decoder.h"
#include "decoder/soft_bank.h"

namespace morvix {

namespace {

static_assert(kSyncBits == 40);

// A frame teaches when at most one decoded bit in kAgainstShare goes against
// its soft value and its blocks' Chase metrics average at most kTrustMetric.
constexpr int kAgainstShare = 12;
constexpr int64_t kTrustMetric = 12 * kSoftUnit;
// Labels this sure and right (|L| in LLR) would teach nearly nothing
// (p (1 - p) < 4e-4): they are passed over.
constexpr int32_t kSureValue = 8 * kSoftUnit;
// A label is earned per kSamplesPerLabel input samples; at most
// kMaxCredit are saved up (what the first frames learn from) and at most
// kFrameLabels learned from a frame.
constexpr int kSamplesPerLabel = 256;
constexpr int64_t kMaxCredit = 1024;
constexpr int kFrameLabels = 256;
// Labels are taken every kPickStride-th (a prime) from a place that moves
// from frame to frame, so they spread over the frame's bits.
constexpr int kPickStride = 97;

}  // namespace

void labels_start(LabelBuffer& l) {
  // The sync word's bits first, placed when the frame is learned from.
  for (int j = 0; j < kSyncBits; ++j) l.value[j] = 0;
  l.count = kSyncBits;
  l.against = 0;
  l.blocks = 0;
  l.metric_sum = 0;
}

void labels_reset(LabelBuffer& l) {
  labels_start(l);
  l.credit = kMaxCredit;
  l.credit_bytes_in = 0;
  l.frames = 0;
}

void labels_add_block(LabelBuffer& l, const unsigned char* line_bits, const long* bit_at,
                      const int32_t* values, int32_t metric) {
  ++l.blocks;
  l.metric_sum += metric;
  for (int k = 0; k < kBlockBits && l.count < kMaxLabels; ++k) {
    if (passed_over_bit(k)) continue;
    l.at[l.count] = static_cast<int32_t>(bit_at[k]);
    l.value[l.count] = values[k];
    l.bit[l.count] = line_bits[k];
    l.against += (values[k] > 0) != (line_bits[k] != 0);
    ++l.count;
  }
}

void soft_learn_frame(Decoder& d) {
  SoftReader& s = d.soft;
  LabelBuffer& l = s.labels;
  l.credit += (d.ring.bytes_in - l.credit_bytes_in) * 8 / kSamplesPerLabel;
  l.credit_bytes_in = d.ring.bytes_in;
  l.credit = std::min(l.credit, kMaxCredit);
  const int bits = l.count - kSyncBits;
  if (bits <= 0 || kAgainstShare * l.against > bits || l.metric_sum > kTrustMetric * l.blocks) {
    return;
  }
  WeightBank& b = s.bank;
  ++b.frames;
  WeightSet& set = b.sets[bank_set_to_teach(b, b.active)];
  // The sync word's bits, then the blocks'.
  for (int j = 0; j < kSyncBits; ++j) {
    l.at[j] = static_cast<int32_t>(s.place + static_cast<long>(j) * d.ring.sps);
    l.bit[j] = static_cast<uint8_t>(d.sync.match_table[j]);
  }
  batch_clear(b.batch);
  const int budget = static_cast<int>(std::min<int64_t>(l.credit, kFrameLabels));
  const int n = l.count;
  const int stride = n % kPickStride == 0 ? kPickStride + 2 : kPickStride;
  int i = static_cast<int>(l.frames++ * 7919 % n);
  for (int seen = 0; seen < n && b.batch.count < budget; ++seen, i = (i + stride) % n) {
    const int32_t v = l.value[i];
    const bool right = (v > 0) == (l.bit[i] != 0);
    if (right && (v > kSureValue || v < -kSureValue)) continue;
    double x[kLearnerRow];
    soft_features(d, l.at[i], x);
    batch_add(b.batch, set.learner, x, l.bit[i]);
  }
  l.credit -= b.batch.count;
  learner_step(set.learner, b.batch);
  set.stale = true;
}

}  // namespace morvix
