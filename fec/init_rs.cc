// SPDX-License-Identifier: Apache-2.0
#include "fec/init_rs.h"

#include <cstdlib>

namespace morvix {
namespace {

int gcd(int a, int b) {
  while (b != 0) {
    const int r = a % b;
    a = b;
    b = r;
  }
  return a;
}

void release(rs_codec* codec) {
  free(codec->generator);
  free(codec->log_table);
  free(codec->exp_table);
  free(codec);
}

}  // namespace

rs_codec* init_rs_char(uint32_t symbol_bits, int field_poly, int first_root, int root_step,
                       int parity_count, int pad_count) {
  if (first_root < 0) return nullptr;
  if (symbol_bits > 8) return nullptr;
  const int size = 1 << symbol_bits;
  if (parity_count < 0 || pad_count < 0 || root_step <= 0 || first_root >= size ||
      root_step >= size) {
    return nullptr;
  }
  if (parity_count >= size) return nullptr;
  if (pad_count >= size - 1 - parity_count) return nullptr;

  auto* codec = static_cast<rs_codec*>(calloc(1, sizeof(rs_codec)));
  if (codec == nullptr) return nullptr;
  codec->symbol_bits = static_cast<int32_t>(symbol_bits);
  codec->full_length = size - 1;
  codec->pad_count = pad_count;
  const int n = codec->full_length;

  codec->exp_table = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
  codec->log_table = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
  if (codec->exp_table == nullptr || codec->log_table == nullptr) {
    release(codec);
    return nullptr;
  }

  // Field tables from the shift register x^i mod field_poly. A register that
  // comes back to 1 before n steps has a shorter period and leaves elements
  // out, even if it also ends at 1 after n steps.
  codec->log_table[0] = static_cast<unsigned char>(n);
  codec->exp_table[n] = 0;
  int sr = 1;
  for (int i = 0; i < n; i++) {
    if (i > 0 && sr == 1) {
      release(codec);
      return nullptr;
    }
    codec->log_table[sr] = static_cast<unsigned char>(i);
    codec->exp_table[i] = static_cast<unsigned char>(sr);
    sr <<= 1;
    if (sr & size) sr ^= field_poly;
    sr &= n;
  }
  if (sr != 1) {
    release(codec);
    return nullptr;
  }

  codec->generator = static_cast<unsigned char*>(malloc(static_cast<size_t>(parity_count) + 1));
  if (codec->generator == nullptr) {
    release(codec);
    return nullptr;
  }
  codec->first_root = first_root;
  codec->root_step = root_step;
  codec->parity_count = parity_count;

  // With a factor in common with n, root_step has no inverse and the search
  // below would never end.
  if (gcd(n, root_step) != 1) {
    release(codec);
    return nullptr;
  }
  int iprim = 1;
  while (iprim % root_step != 0) iprim += n;
  codec->root_step_inverse = iprim / root_step;

  // Generator: multiply out (x + alpha^e) for each root, polynomial form.
  unsigned char* g = codec->generator;
  const unsigned char* exp_table = codec->exp_table;
  const unsigned char* log_table = codec->log_table;
  g[0] = 1;
  for (int i = 0; i < parity_count; i++) {
    const int e = first_root * root_step + i * root_step;
    g[i + 1] = 1;
    for (int j = i; j > 0; j--) {
      if (g[j] != 0) {
        const int product = exp_table[rs_reduce(*codec, log_table[g[j]] + e)];
        g[j] = static_cast<unsigned char>(g[j - 1] ^ product);
      } else {
        g[j] = g[j - 1];
      }
    }
    g[0] = exp_table[rs_reduce(*codec, log_table[g[0]] + e)];
  }
  for (int k = 0; k <= parity_count; k++) g[k] = log_table[g[k]];
  return codec;
}

void free_rs_char(rs_codec* codec) { release(codec); }

}  // namespace morvix
