// SPDX-License-Identifier: Apache-2.0
// The learner fed labelled bits drawn from a known logistic model: over
// tens of thousands of frames it keeps to the model's weights, its
// precision stays within the bounds that keep it able to move, and no
// batch moves it further than a step may.
#include "decoder/soft/soft_learner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace morvix {
namespace {

class SoftLearnerTest : public ::testing::Test {
 protected:
  SoftLearnerTest() {
    for (int i = 0; i < kSoftFeatures; ++i) truth_[i] = 0.6 * std::sin(i) + (i == kSoftTaps);
    const double zero[kSoftFeatures] = {};
    learner_reset(learner_, zero);
  }

  // A frame of n labelled bits from the model with weights truth (their
  // labels inverted when lie): features of +-1, the constant 1.
  void frame(int n, const double* truth, bool lie = false) {
    batch_clear(batch_);
    for (int k = 0; k < n; ++k) {
      double x[kLearnerRow] = {};
      double z = 0;
      for (int i = 0; i < kSoftTaps; ++i) x[i] = (rng_() & 1) ? 1.0 : -1.0;
      x[kSoftTaps] = 1;
      for (int i = 0; i < kSoftFeatures; ++i) z += truth[i] * x[i];
      const int y = std::uniform_real_distribution<double>(0, 1)(rng_) < 1 / (1 + std::exp(-z));
      batch_add(batch_, learner_, x, lie ? 1 - y : y);
    }
    learner_step(learner_, batch_, 1);
  }

  double distance(const double* w) const {
    double sum = 0;
    for (int i = 0; i < kSoftFeatures; ++i) sum += (learner_.w[i] - w[i]) * (learner_.w[i] - w[i]);
    return std::sqrt(sum);
  }

  SoftLearner learner_;
  LabelBatch batch_;
  double truth_[kSoftFeatures] = {};
  std::mt19937 rng_{99};
};

TEST_F(SoftLearnerTest, KeepsToASteadyChannelsWeightsOverTensOfThousandsOfFrames) {
  constexpr int kLabels = 20;
  double worst_late = 0;
  for (int f = 1; f <= 30000; ++f) {
    frame(kLabels, truth_);
    if (f >= 1000) worst_late = std::max(worst_late, distance(truth_));
    if (f % 5000 == 0) {
      // The precision: never below the prior's, never above what the
      // forgetting lets the labels add up to.
      for (int i = 0; i < kSoftFeatures; ++i) {
        const double a = learner_.a[i][i];
        EXPECT_GE(a, i == kSoftTaps ? 0.5 : 5.0) << "feature " << i << ", frame " << f;
        EXPECT_LE(a, 5.0 + kLearnerMemory * kLabels / 4.0) << "feature " << i << ", frame " << f;
      }
    }
  }
  EXPECT_LT(worst_late, 0.5);  // 31 weights, about 0.05 each
  EXPECT_EQ(learner_.steps, 30000);
}

TEST_F(SoftLearnerTest, FollowsAChangeAndNoBatchMovesItFurtherThanAStep) {
  for (int f = 0; f < 3000; ++f) frame(20, truth_);
  // Labels that contradict everything learned move it by at most a step.
  double before[kSoftFeatures];
  for (int i = 0; i < kSoftFeatures; ++i) before[i] = learner_.w[i];
  frame(kMaxBatchLabels, truth_, true);
  EXPECT_LE(distance(before), kMaxStep + 1e-9);
  // The channel changes (the constant, as a slicer offset moves it): the
  // learner is never stuck, and gets there within a few memories.
  double changed[kSoftFeatures];
  for (int i = 0; i < kSoftFeatures; ++i) changed[i] = truth_[i] + (i == kSoftTaps ? 2.0 : 0.0);
  const double off = distance(changed);
  for (int f = 0; f < static_cast<int>(kLearnerMemory); ++f) frame(20, changed);
  EXPECT_LT(distance(changed), 0.7 * off);
  for (int f = 0; f < 3 * static_cast<int>(kLearnerMemory); ++f) frame(20, changed);
  EXPECT_LT(distance(changed), 0.5);
}

}  // namespace
}  // namespace morvix
