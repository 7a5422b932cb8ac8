// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_bank.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "decoder/decoder.h"
#include "decoder/soft_sync.h"
#include "decoder/soft_taps.h"

namespace morvix {

namespace {

// The starting sets: the taps for the samples from a bit before the bit's
// first to two bits after it (in tenths of a bit), then the constant.
// Each was fitted by this learner from the true line bits of 3000 frames of
// the channel model (channel_sensitivity --fit SLICER TIME_CONSTANT NOISE)
// at about the noise where -a decodes half of them.
constexpr double kModel[kSoftFeatures] = {  // 0 0.25 0.68
    .03, -.02, 0,   .01,  -.02, -.04, -.09, -.11, -.20, -.75, .23,  .54,  .61,  .68,  .67, .64,
    .66, .65,  .83, 1.29, .35,  .10,  .04,  -.02, -.03, 0,    -.02, -.01, -.06, -.08, .02};
constexpr double kHalfBit[kSoftFeatures] = {  // 0 0.5 0.47
    -.05, -.03, -.01, -.03, -.06, -.09, -.17, -.30, -.46, -1.18, -.13, .10,  .42,  .52,  .54, .56,
    .60,  .67,  .81,  1.49, .55,  .24,  .15,  .04,  .04,  .04,   0,    -.09, -.10, -.24, .02};
constexpr double kSlicerHigh[kSoftFeatures] = {  // 0.5 0.25 0.61
    .02,  0,    -.04, -.04, -.05, -.02, -.10, -.11, -.17, -.87, .32, .73,  .80,  .97,  1.03, 1.12,
    1.14, 1.21, 1.32, 1.83, .60,  .23,  .07,  -.01, -.04, -.02, 0,   -.04, -.09, -.09, 6.16};
constexpr double kSlicerLow[kSoftFeatures] = {  // -0.5 0.25 0.61
    .02,  -.01, -.01, .02,  -.10, .01, -.07, -.15, -.27, -.78, .29,  .71, .83,  .97,  .99,  1.11,
    1.17, 1.16, 1.36, 1.80, .58,  .24, .07,  .01,  .03,  -.05, -.08, 0,   -.08, -.08, -6.08};
constexpr const double* kStartWeights[kStartSets] = {kModel, kHalfBit, kSlicerHigh, kSlicerLow};

// A learned set starts from a starting set with this many priors' worth of
// trust: those weights were fitted over thousands of frames, and a set
// that moved far on its first frame's labels would read worse than them.
constexpr double kStartTrust = 4;

// A starting set is taken over a learned one only when the sync word's 40
// bits are this much likelier under it (in 1/kSoftUnit LLR), so that noise
// does not start new sets where a learned one fits about as well; and over
// another starting set (the first frames) when this much likelier.
constexpr int64_t kSpawnMargin = 5 * kSoftUnit;
constexpr int64_t kStartMargin = 3 * kSoftUnit / 2;
// What judging under the other sets costs (its fits; another judging as
// well, dearer where the active set found no sync word: that is mostly
// noise or crafted input), earned at one per kBitsPerCredit line bits of
// input, at most kMaxCredit saved up.
constexpr int kFitCost = 1;
constexpr int kJudgeCost = 2;
constexpr int kSearchCost = 8;
constexpr int kBitsPerCredit = 300;
constexpr int64_t kMaxCredit = 64;
// Where the active set's soft correlation stayed below this (x1000) at every
// phase, no other set is asked: that is noise, nearly always.
constexpr int kLeastRho = 250;
// A sync word less likely than this under a set is none under it: the set
// is not judged further, nor asked to judge the candidate again.
constexpr int64_t kLeastFit = -24 * kSoftUnit;

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

// The sync word's log-likelihood with its first bit at place under each
// set in sets (1/kSoftUnit LLR), into fit; INT64_MIN for a set under which
// it falls below kLeastFit or its first 10 bits correlate below 0.4 (no
// sync word under it: noise, or a phase far off). The samples are read
// once for all sets.
void sync_fits(const Decoder& d, unsigned sets, long place, int64_t* fit) {
  const auto& penalty = penalty_table();
  int64_t corr[kBankSets] = {}, conf[kBankSets] = {};
  for (int k = 0; k < kBankSets; ++k) fit[k] = (sets >> k & 1) ? 0 : INT64_MIN;
  for (int j = 0; j < kSyncBits && sets != 0; ++j) {
    int32_t values[kBankSets];
    soft_values_of_sets(d, place + static_cast<long>(j) * d.ring.sps, sets, values);
    for (unsigned left = sets; left != 0; left &= left - 1) {
      const int k = std::countr_zero(left);
      const int32_t v = values[k];
      const int32_t z = d.sync.match_table[j] ? v : -v;
      corr[k] += z;
      conf[k] += v < 0 ? -v : v;
      const int32_t q = z / (kSoftUnit / 4);
      fit[k] -= q < -64 ? -z : q > 63 ? 0 : penalty[static_cast<size_t>(q + 64)];
      if (fit[k] < kLeastFit || (j == 9 && 10 * corr[k] < 4 * conf[k])) {
        fit[k] = INT64_MIN;
        sets &= ~(1u << k);
      }
    }
  }
}

}  // namespace

void bank_reset(WeightBank& b, int table_size) {
  b.tables = std::make_unique<int32_t[]>(static_cast<size_t>(table_size) * kBankSets);
  for (int k = 0; k < kBankSets; ++k) {
    WeightSet& set = b.sets[k];
    set.kind = k < kStartSets ? SetKind::kStarting : SetKind::kUnused;
    learner_reset(set.learner, kStartWeights[k < kStartSets ? k : 0]);
    set.table = b.tables.get() + static_cast<size_t>(table_size) * static_cast<size_t>(k);
    set.stale = true;
    set.used_at = 0;
  }
  b.active = 0;
  b.frames = 0;
  b.credit = kMaxCredit;
  b.credit_bytes_in = 0;
  batch_clear(b.batch);
  b.batch_set = -1;
  b.batch_frames = 0;
}

void bank_flush(WeightBank& b) {
  if (b.batch_set < 0) return;
  WeightSet& set = b.sets[b.batch_set];
  learner_step(set.learner, b.batch, b.batch_frames);
  set.stale = true;
  batch_clear(b.batch);
  b.batch_set = -1;
  b.batch_frames = 0;
}

int bank_set_to_teach(WeightBank& b, int read_with) {
  int k = read_with;
  if (b.sets[k].kind != SetKind::kLearned) {
    bank_flush(b);  // the set replaced may have labels waiting
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
    learner_reset(set.learner, b.sets[read_with].learner.w, kStartTrust);
    set.stale = true;
  }
  b.sets[k].used_at = b.frames;
  b.active = k;
  return k;
}

int bank_judge(Decoder& d, int judged) {
  SoftReader& s = d.soft;
  WeightBank& b = s.bank;
  b.credit += (d.ring.bytes_in - b.credit_bytes_in) * 8 / (int64_t{kBitsPerCredit} * d.ring.sps);
  b.credit_bytes_in = d.ring.bytes_in;
  b.credit = std::min(b.credit, kMaxCredit);
  if (b.credit < kFitCost + kJudgeCost || (judged == 0 && s.rho_x1000 < kLeastRho)) return judged;
  b.credit -= kFitCost;
  soft_refresh(d);
  const int was = b.active;
  const int place = s.place;
  int64_t fit[kBankSets];
  unsigned sets = 0;
  for (int k = 0; k < kBankSets; ++k) sets |= (b.sets[k].kind != SetKind::kUnused ? 1u : 0u) << k;
  sync_fits(d, sets, place, fit);
  // The learned set that fits best, unless a starting set fits clearly
  // better than every learned set.
  int best = -1, start = 0;
  for (int k = 0; k < kBankSets; ++k) {
    if (b.sets[k].kind == SetKind::kLearned && (best < 0 || fit[k] > fit[best])) best = k;
    if (b.sets[k].kind == SetKind::kStarting && fit[k] > fit[start]) start = k;
  }
  if (best < 0 || fit[best] == INT64_MIN ||
      (fit[start] != INT64_MIN && fit[start] - kSpawnMargin > fit[best])) {
    best = start;
  }
  if (judged == 0 && (best == was || fit[best] == INT64_MIN)) {
    // No set finds a sync word where the active one looked: the learned
    // set used last but for the active one (another transmitter's, whose
    // timing differs) judges it from scratch.
    best = -1;
    for (int k = kStartSets; k < kBankSets; ++k) {
      if (k != was && b.sets[k].kind == SetKind::kLearned &&
          (best < 0 || b.sets[k].used_at > b.sets[best].used_at)) {
        best = k;
      }
    }
    if (best < 0) return 0;
  } else if (best == was || fit[best] == INT64_MIN) {
    return judged;
  } else if (b.sets[was].kind == SetKind::kStarting && b.sets[best].kind == SetKind::kStarting &&
             fit[was] != INT64_MIN && fit[best] - kStartMargin <= fit[was]) {
    return judged;  // between starting sets too a clear difference is asked for
  }
  const int cost = judged > 0 ? kJudgeCost : kSearchCost;
  if (b.credit < cost) return judged;
  b.active = best;
  b.credit -= cost;
  if (soft_judge(d) > 0) return 1;
  b.active = was;
  return judged > 0 ? soft_judge(d) : 0;
}

}  // namespace morvix
