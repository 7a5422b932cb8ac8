// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_bank.h"

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

}  // namespace morvix
