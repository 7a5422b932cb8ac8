// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_bank.h"

#include <array>
#include <cmath>

#include "decoder/decoder.h"
#include "decoder/soft_sync.h"

namespace morvix {

namespace {

// The starting sets: the taps for the samples from a bit before the bit's
// first to two bits after it (in tenths of a bit), then the constant.
// Each was fitted by this learner over 2000 frames of the channel model
// (channel_sensitivity --fit) at about the noise where -a decodes half of
// them: the model (a one-pole low-pass of a quarter bit), a half-bit
// low-pass, and the slicer's threshold at half the signal level either way.
constexpr double kStartWeights[kStartSets][kSoftFeatures] = {
    {-.01, -.07, .03, 0,   -.07, .04, -.14, -.21, -.27, -.67, .18,  .58, .68,  .72, .74, .67,
     .73,  .78,  .88, 1.4, .46,  .01, .03,  -.04, .03,  -.06, -.12, .01, -.05, 0,   0},
    {-.01, -.07, .03, 0,   -.07, .04, -.14, -.21, -.27, -.67, .18,  .58, .68,  .72, .74, .67,
     .73,  .78,  .88, 1.4, .46,  .01, .03,  -.04, .03,  -.06, -.12, .01, -.05, 0,   0},
    {-.01, -.07, .03, 0,   -.07, .04, -.14, -.21, -.27, -.67, .18,  .58, .68,  .72, .74, .67,
     .73,  .78,  .88, 1.4, .46,  .01, .03,  -.04, .03,  -.06, -.12, .01, -.05, 0,   0},
    {-.01, -.07, .03, 0,   -.07, .04, -.14, -.21, -.27, -.67, .18,  .58, .68,  .72, .74, .67,
     .73,  .78,  .88, 1.4, .46,  .01, .03,  -.04, .03,  -.06, -.12, .01, -.05, 0,   0},
};

// Another set is taken for a sync word only when its 40 bits are this much
// likelier under it (in 1/kSoftUnit LLR), so that noise does not toss
// frames between sets that fit about equally.
constexpr int64_t kSwitchMargin = 3 * kSoftUnit;

// -log(sigmoid(z)) in 1/kSoftUnit LLR for z in quarter LLRs, -64 .. 63.
const std::array<int32_t, 128>& penalty_table() {
  static const std::array<int32_t, 128> table = [] {
    std::array<int32_t, 128> t{};
    for (int i = 0; i < 128; ++i) {
      const double z = (i - 64) / 4.0;
      t[static_cast<size_t>(i)] =
          static_cast<int32_t>(std::lround(std::log1p(std::exp(-z)) * kSoftUnit));
    }
    return t;
  }();
  return table;
}

// The sync word's log-likelihood under set k with its first bit at place,
// in 1/kSoftUnit LLR; INT64_MIN when its first 10 bits correlate below 0.4
// (no sync word under this set: noise, or a phase far off).
int64_t sync_fit(const Decoder& d, int k, long place) {
  const auto& penalty = penalty_table();
  int64_t fit = 0, corr = 0, conf = 0;
  for (int j = 0; j < kSyncBits; ++j) {
    const int32_t v = soft_value_with(d, place + static_cast<long>(j) * d.ring.sps, k);
    const int32_t z = d.sync.match_table[j] ? v : -v;
    corr += z;
    conf += v < 0 ? -v : v;
    if (j == 9 && 10 * corr < 4 * conf) return INT64_MIN;
    const int32_t q = z / (kSoftUnit / 4);
    fit -= q < -64 ? -z : q > 63 ? 0 : penalty[static_cast<size_t>(q + 64)];
  }
  return fit;
}

}  // namespace

void bank_reset(WeightBank& b, int table_size) {
  b.tables = std::make_unique<int32_t[]>(static_cast<size_t>(table_size) * kBankSets);
  for (int k = 0; k < kBankSets; ++k) {
    WeightSet& set = b.sets[k];
    set.kind = k < kStartSets ? SetKind::kStarting : SetKind::kUnused;
    learner_reset(set.learner, kStartWeights[k < kStartSets ? k : 0]);
    set.table = b.tables.get() + static_cast<size_t>(table_size) * k;
    set.stale = true;
    set.used_at = 0;
  }
  b.active = 0;
  b.frames = 0;
  batch_clear(b.batch);
}

int bank_set_to_teach(WeightBank& b, int read_with) {
  int k = read_with;
  if (b.sets[k].kind != SetKind::kLearned) {
    k = kStartSets;
    for (int i = kStartSets; i < kBankSets; ++i) {
      if (b.sets[i].kind == SetKind::kUnused) {
        k = i;
        break;
      }
      if (b.sets[i].used_at < b.sets[k].used_at) k = i;
    }
    WeightSet& set = b.sets[k];
    set.kind = SetKind::kLearned;
    learner_reset(set.learner, b.sets[read_with].learner.w);
    set.stale = true;
  }
  b.sets[k].used_at = b.frames;
  b.active = k;
  return k;
}

int bank_judge(Decoder& d, int judged) {
  SoftReader& s = d.soft;
  WeightBank& b = s.bank;
  soft_refresh(d);
  const int was = b.active;
  const int place = s.place;
  int64_t fit[kBankSets];
  int best = was;
  for (int k = 0; k < kBankSets; ++k) {
    fit[k] = b.sets[k].kind == SetKind::kUnused ? INT64_MIN : sync_fit(d, k, place);
    if (fit[k] > fit[best]) best = k;
  }
  if (best == was || fit[best] == INT64_MIN) return judged;
  if (judged > 0 && fit[best] < fit[was] + kSwitchMargin) return judged;
  b.active = best;
  if (soft_judge(d) > 0) return 1;
  b.active = was;
  return judged > 0 ? soft_judge(d) : 0;
}

}  // namespace morvix
