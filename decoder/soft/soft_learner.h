// SPDX-License-Identifier: Apache-2.0
// The improved reading's weights and how they are learned: a line bit's soft
// value (log-likelihood ratio, positive for a line bit of 1) is the weighted
// sum of 30 features, the samples around the bit, plus a constant. The
// weights are fitted by logistic regression, a Newton step per frame from
// the labelled bits that frame gave (decoder/soft/soft_labels.h).
//
// The invariant that keeps a learner right for any number of frames: with
// A the weights' precision (inverse covariance), A0 the prior's and H the
// information a step's labels bring (H <= kMaxBatchLabels / 4 per feature),
// each frame makes A = lambda A + (1 - lambda) A0 + H with lambda =
// 1 - 1 / kLearnerMemory, so that A0 <= A <= A0 + kLearnerMemory H_max
// always: the uncertainty can neither collapse (the weights keep following
// a steady channel's optimum with a gain of about 1 / kLearnerMemory a
// frame) nor grow past the prior's (no runaway where the labels say
// nothing). A step moves the weights by at most kMaxStep (Euclidean),
// whatever its labels.
#pragma once

#include <cstdint>

namespace morvix {

constexpr int kSoftTaps = 30;                 // the bit before, the bit, the bit after
constexpr int kSoftFeatures = kSoftTaps + 1;  // and the constant

// Rows padded to a multiple of the vector width, so that the compiler
// vectorises the updates without a remainder loop; the padding stays 0.
constexpr int kLearnerRow = 32;

constexpr double kLearnerMemory = 300;  // frames
constexpr double kMaxStep = 1.5;        // the most a frame moves the weights
constexpr int kMaxBatchLabels = 512;    // labels in one step, at most

// One set of weights and what is known of them.
struct SoftLearner {
  double w[kLearnerRow]{};               // the weights, the constant at kSoftTaps
  double a[kLearnerRow][kLearnerRow]{};  // their precision (padding: 0)
  int64_t steps = 0;                     // frames learned from
  int64_t labels = 0;                    // labelled bits learned from
};

// A frame's labelled bits, summed against one learner's weights.
struct LabelBatch {
  double g[kLearnerRow]{};               // gradient of the log-likelihood: sum (y - p) x
  double h[kLearnerRow][kLearnerRow]{};  // its negative Hessian: sum p (1 - p) x x'
  int count = 0;                         // labels added
};

// Weights w (kSoftFeatures of them), trust times the prior's precision
// (trust >= 1: how many priors' worth the weights are known to).
void learner_reset(SoftLearner& s, const double* w, double trust = 1);

void batch_clear(LabelBatch& b);

// Adds one labelled bit: features x (kLearnerRow of them: each -1 .. 1, the
// constant 1 at kSoftTaps, the padding 0), the bit's value y (0 or 1),
// against s's weights. Ignored once b holds kMaxBatchLabels.
void batch_add(LabelBatch& b, const SoftLearner& s, const double* x, int y);

// A step for the batch of `frames` frames (>= 1): forgets that many frames,
// adds the batch's information and moves the weights by the Newton step
// (at most kMaxStep). An empty batch only forgets.
void learner_step(SoftLearner& s, const LabelBatch& b, int frames);

}  // namespace morvix
