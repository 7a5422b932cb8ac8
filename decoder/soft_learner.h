// SPDX-License-Identifier: Apache-2.0
// The improved reading's weights and how they are learned: a line bit's soft
// value (log-likelihood ratio, positive for a line bit of 1) is the weighted
// sum of 30 features, the samples around the bit, plus a constant. The
// weights start from values that fit a one-pole low-pass of a quarter bit
// and are fitted per stream by online Newton (extended Kalman) logistic
// regression, from bits whose value is known: a sync word's, a decoded
// block's. Double precision; P is kept symmetric with a capped trace.
#pragma once

namespace morvix {

constexpr int kSoftTaps = 30;                 // the bit before, the bit, the bit after
constexpr int kSoftFeatures = kSoftTaps + 1;  // and the constant

// Rows padded to a multiple of the vector width, so that the compiler
// vectorises the updates without a remainder loop; the padding stays 0.
constexpr int kLearnerRow = 32;

struct SoftLearner {
  double w[kLearnerRow]{};               // the weights, the constant at kSoftTaps
  double p[kLearnerRow][kLearnerRow]{};  // their covariance
  long updates = 0;                      // labelled bits learned from
};

// Default weights and covariance.
void learner_reset(SoftLearner& s);

// Learns from one labelled bit: features x (kLearnerRow of them: each
// -1 .. 1, the constant 1 at kSoftTaps, the padding 0), the bit's value y
// (0 or 1).
void learner_update(SoftLearner& s, const double* x, int y);

}  // namespace morvix
