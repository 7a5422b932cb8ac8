// SPDX-License-Identifier: Apache-2.0
#include "decoder/soft/soft_learner.h"

#include <cmath>

namespace morvix {

namespace {

// The prior: the constant may move far (a slicer offset takes it to about
// 7), the taps less.
constexpr double kTapPrecision = 1 / 0.2;
constexpr double kConstantPrecision = 1 / 2.0;
constexpr double kForget = 1 - 1 / kLearnerMemory;

double prior(int i) {
  return i == kSoftTaps ? kConstantPrecision : i < kSoftFeatures ? kTapPrecision : 0;
}

// Solves m d = g for symmetric positive definite m (its first n rows) by
// Cholesky; m is overwritten by its factor.
void solve(double (&m)[kLearnerRow][kLearnerRow], const double* g, double* d, int n) {
  for (int j = 0; j < n; ++j) {
    double diag = m[j][j];
    for (int k = 0; k < j; ++k) diag -= m[j][k] * m[j][k];
    diag = std::sqrt(diag > 1e-12 ? diag : 1e-12);
    m[j][j] = diag;
    for (int i = j + 1; i < n; ++i) {
      double v = m[i][j];
      for (int k = 0; k < j; ++k) v -= m[i][k] * m[j][k];
      m[i][j] = v / diag;
    }
  }
  for (int i = 0; i < n; ++i) {  // L y = g
    double v = g[i];
    for (int k = 0; k < i; ++k) v -= m[i][k] * d[k];
    d[i] = v / m[i][i];
  }
  for (int i = n - 1; i >= 0; --i) {  // L' d = y
    double v = d[i];
    for (int k = i + 1; k < n; ++k) v -= m[k][i] * d[k];
    d[i] = v / m[i][i];
  }
}

}  // namespace

void learner_reset(SoftLearner& s, const double* w, double trust) {
  for (int i = 0; i < kLearnerRow; ++i) {
    s.w[i] = i < kSoftFeatures ? w[i] : 0;
    for (int j = 0; j < kLearnerRow; ++j) s.a[i][j] = i == j ? trust * prior(i) : 0;
  }
  s.steps = 0;
  s.labels = 0;
}

void batch_clear(LabelBatch& b) {
  for (int i = 0; i < kLearnerRow; ++i) {
    b.g[i] = 0;
    for (int j = 0; j < kLearnerRow; ++j) b.h[i][j] = 0.0f;
  }
  b.count = 0;
}

void batch_add(LabelBatch& b, const SoftLearner& s, const double* x, int y) {
  if (b.count >= kMaxBatchLabels) return;
  // A copy the compiler knows is not the batch, so that it vectorises.
  // The Hessian in single precision (half the work): a batch sums at most
  // kMaxBatchLabels terms of at most 1/4.
  double xs[kLearnerRow];
  float xf[kLearnerRow];
  for (int i = 0; i < kLearnerRow; ++i) xs[i] = x[i], xf[i] = static_cast<float>(x[i]);
  double z = 0;
  for (int i = 0; i < kLearnerRow; ++i) z += s.w[i] * xs[i];
  const double p = 1.0 / (1.0 + std::exp(-z));
  const double c = p * (1.0 - p);
  const double e = y - p;
  // Whole rows, which the compiler vectorises; h stays exactly symmetric.
  for (int i = 0; i < kLearnerRow; ++i) {
    b.g[i] += e * xs[i];
    const float cx = static_cast<float>(c * xs[i]);
    for (int j = 0; j < kLearnerRow; ++j) b.h[i][j] += cx * xf[j];
  }
  ++b.count;
}

void learner_step(SoftLearner& s, const LabelBatch& b, int frames) {
  const double keep = std::pow(kForget, frames);
  for (int i = 0; i < kLearnerRow; ++i) {
    for (int j = 0; j < kLearnerRow; ++j) {
      s.a[i][j] = keep * s.a[i][j] + b.h[i][j] + (i == j ? (1 - keep) * prior(i) : 0);
    }
  }
  s.steps += frames;
  if (b.count == 0) return;
  s.labels += b.count;
  double m[kLearnerRow][kLearnerRow];
  for (int i = 0; i < kLearnerRow; ++i) {
    for (int j = 0; j < kLearnerRow; ++j) m[i][j] = s.a[i][j];
  }
  double d[kLearnerRow] = {};
  solve(m, b.g, d, kSoftFeatures);
  double norm = 0;
  for (int i = 0; i < kSoftFeatures; ++i) norm += d[i] * d[i];
  norm = std::sqrt(norm);
  const double scale = norm > kMaxStep ? kMaxStep / norm : 1.0;
  for (int i = 0; i < kSoftFeatures; ++i) s.w[i] += scale * d[i];
}

}  // namespace morvix
