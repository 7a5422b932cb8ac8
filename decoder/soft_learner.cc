// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft_learner.h"

#include <cmath>

namespace morvix {

namespace {

// Fitted to the quarter-bit low-pass at 10 samples per bit: the taps for
// the samples from 10 before the bit's first to 19 after it, the constant.
constexpr double kDefaultWeights[kSoftFeatures] = {
    -.01, -.07, .03, 0,   -.07, .04, -.14, -.21, -.27, -.67, .18,  .58, .68,  .72, .74, .67,
    .73,  .78,  .88, 1.4, .46,  .01, .03,  -.04, .03,  -.06, -.12, .01, -.05, 0,   0};

// The prior: the constant may move far (a slicer offset takes it to about
// 7 within a frame or two), the taps less.
constexpr double kTapPrior = 0.2;
constexpr double kConstantPrior = 2.0;
constexpr double kForget = 1.0 / 0.9999;
// Forgetting lets P grow where the data say nothing new; past this trace it
// would run away after a few hundred thousand updates.
constexpr double kMaxTrace = kSoftTaps * kTapPrior + kConstantPrior;

}  // namespace

void learner_reset(SoftLearner& s) {
  for (int i = 0; i < kLearnerRow; ++i) {
    s.w[i] = i < kSoftFeatures ? kDefaultWeights[i] : 0;
    for (int j = 0; j < kLearnerRow; ++j) s.p[i][j] = 0;
    if (i < kSoftFeatures) s.p[i][i] = i == kSoftTaps ? kConstantPrior : kTapPrior;
  }
  s.updates = 0;
}

void learner_update(SoftLearner& s, const double* x, int y) {
  constexpr int n = kLearnerRow;
  double z = 0;
  for (int i = 0; i < n; ++i) z += s.w[i] * x[i];
  const double p = 1.0 / (1.0 + std::exp(-z));
  const double c = std::fmax(p * (1.0 - p), 1e-4);
  double u[n];
  double xu = 0;
  for (int i = 0; i < n; ++i) {
    double sum = 0;
    for (int j = 0; j < n; ++j) sum += s.p[i][j] * x[j];
    u[i] = sum * kForget;
    xu += x[i] * u[i];
  }
  const double g = 1.0 / (1.0 + c * xu);
  const double step = g * (y - p);
  const double cg = c * g;
  // The whole matrix in rows (which the compiler vectorises), then each
  // pair made equal again: P stays exactly symmetric.
  for (int i = 0; i < n; ++i) {
    s.w[i] += step * u[i];
    const double a = cg * u[i];
    for (int j = 0; j < n; ++j) s.p[i][j] = s.p[i][j] * kForget - a * u[j];
  }
  double trace = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) s.p[j][i] = s.p[i][j];
    trace += s.p[i][i];
  }
  if (trace > kMaxTrace) {
    const double scale = kMaxTrace / trace;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) s.p[i][j] *= scale;
    }
  }
  ++s.updates;
}

}  // namespace morvix
