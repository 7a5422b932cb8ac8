// SPDX-License-Identifier: Apache-2.0
#include "runtime/hex.h"

namespace morvix {

char* put_hex(char* out, const unsigned char* bytes, size_t n, char separator) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    *out++ = kDigits[bytes[i] >> 4];
    *out++ = kDigits[bytes[i] & 15];
    if (separator != 0) *out++ = separator;
  }
  return out;
}

}  // namespace morvix
