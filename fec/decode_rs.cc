// SPDX-License-Identifier: Apache-2.0
#include "fec/decode_rs.h"

#include <algorithm>

namespace morvix {
namespace {

// parity_count stays below 2^8 - 1, so parity_count + 1 coefficients fit.
constexpr int kMaxTerms = 256;

// Multiplies a log-form polynomial of degree count - 1 by x, dropping the top
// coefficient.
void shift_up(int* poly, int count, int zero) {
  for (int k = count - 1; k > 0; k--) poly[k] = poly[k - 1];
  poly[0] = zero;
}

}  // namespace

int decode_rs_char(const rs_codec* codec, unsigned char* symbols, int32_t* erasure_positions,
                   int erasure_count) {
  const rs_codec& rs = *codec;
  const int n = rs.full_length;
  const int nroots = rs.parity_count;
  const int length = n - rs.pad_count;
  const unsigned char* alpha_to = rs.exp_table;
  const unsigned char* index_of = rs.log_table;
  if (nroots <= 0) return 0;

  int s[kMaxTerms];
  int lambda[kMaxTerms];
  int b[kMaxTerms];
  int t[kMaxTerms];
  int omega[kMaxTerms];
  int root[kMaxTerms];
  int loc[kMaxTerms];
  int reg[kMaxTerms];

  // syndromes
  int any_nonzero = 0;
  for (int i = 0; i < nroots; i++) {
    const int step = rs_reduce(rs, (rs.first_root + i) * rs.root_step);
    int si = symbols[0];
    for (int j = 1; j < length; j++) {
      si = si == 0 ? symbols[j] : symbols[j] ^ alpha_to[rs_reduce(rs, index_of[si] + step)];
    }
    s[i] = si;
    any_nonzero |= si;
  }
  if (any_nonzero == 0) return 0;
  for (int i = 0; i < nroots; i++) s[i] = index_of[s[i]];

  // erasure locator: the product of (1 + X x) over the erasures' locators X
  lambda[0] = 1;
  for (int k = 1; k <= nroots; k++) lambda[k] = 0;
  if (erasure_count > 0) {
    lambda[1] = alpha_to[rs_reduce(rs, rs.root_step * (n - 1 - erasure_positions[0]))];
    for (int k = 1; k < erasure_count; k++) {
      const int u = rs_reduce(rs, rs.root_step * (n - 1 - erasure_positions[k]));
      for (int j = k + 1; j > 0; j--) {
        if (lambda[j - 1] != 0) lambda[j] ^= alpha_to[rs_reduce(rs, u + index_of[lambda[j - 1]])];
      }
    }
  }
  for (int k = 0; k <= nroots; k++) b[k] = index_of[lambda[k]];

  // Berlekamp-Massey, starting from the erasure locator
  int el = erasure_count;
  for (int r = erasure_count + 1; r <= nroots; r++) {
    int d = 0;
    for (int i = 0; i < r; i++) {
      if (lambda[i] != 0 && s[r - 1 - i] != n) {
        d ^= alpha_to[rs_reduce(rs, index_of[lambda[i]] + s[r - 1 - i])];
      }
    }
    d = index_of[d];
    if (d == n) {
      shift_up(b, nroots + 1, n);
      continue;
    }
    t[0] = lambda[0];
    for (int k = 0; k < nroots; k++) {
      t[k + 1] = b[k] != n ? lambda[k + 1] ^ alpha_to[rs_reduce(rs, d + b[k])] : lambda[k + 1];
    }
    if (2 * el <= r + erasure_count - 1) {
      el = r + erasure_count - el;
      for (int k = 0; k <= nroots; k++) {
        b[k] = lambda[k] == 0 ? n : rs_reduce(rs, index_of[lambda[k]] - d + n);
      }
    } else {
      shift_up(b, nroots + 1, n);
    }
    std::copy(t, t + nroots + 1, lambda);
  }

  int degree = 0;
  for (int k = 0; k <= nroots; k++) {
    lambda[k] = index_of[lambda[k]];
    if (lambda[k] != n) degree = k;
  }

  // Chien search over all n positions; reg[k] holds lambda_k * alpha^(i k)
  std::copy(lambda + 1, lambda + degree + 1, reg + 1);
  int count = 0;
  for (int i = 1, p = rs.root_step_inverse - 1; i <= n && count < degree;
       i++, p = rs_reduce(rs, p + rs.root_step_inverse)) {
    int q = 1;
    for (int k = degree; k > 0; k--) {
      if (reg[k] != n) {
        reg[k] = rs_reduce(rs, reg[k] + k);
        q ^= alpha_to[reg[k]];
      }
    }
    if (q == 0) {
      root[count] = i;
      loc[count] = p;
      count++;
    }
  }
  // A locator that does not split into distinct roots over the field means
  // more errors than the code can locate.
  if (count != degree) return -1;

  // evaluator omega = s * lambda mod x^degree
  for (int i = 0; i < degree; i++) {
    int tmp = 0;
    for (int j = i; j >= 0; j--) {
      if (s[i - j] != n && lambda[j] != n) tmp ^= alpha_to[rs_reduce(rs, s[i - j] + lambda[j])];
    }
    omega[i] = index_of[tmp];
  }

  // Forney: error value X^(1 - first_root) omega(1/X) / lambda'(1/X)
  for (int j = count - 1; j >= 0; j--) {
    int num1 = 0;
    for (int k = degree - 1; k >= 0; k--) {
      if (omega[k] != n) num1 ^= alpha_to[rs_reduce(rs, omega[k] + k * root[j])];
    }
    const int num2 = alpha_to[rs_reduce(rs, root[j] * (rs.first_root - 1) + n)];
    // Only odd powers survive in the formal derivative over GF(2^m).
    int den = 0;
    for (int k = std::min(degree, nroots - 1) & ~1; k >= 0; k -= 2) {
      if (lambda[k + 1] != n) den ^= alpha_to[rs_reduce(rs, lambda[k + 1] + k * root[j])];
    }
    if (num1 != 0 && loc[j] >= rs.pad_count) {
      const int value = rs_reduce(rs, index_of[num1] + index_of[num2] + n - index_of[den]);
      symbols[loc[j] - rs.pad_count] ^= alpha_to[value];
    }
  }

  if (erasure_positions != nullptr) std::copy(loc, loc + count, erasure_positions);
  return count;
}

}  // namespace morvix
