// SPDX-License-Identifier: Apache-2.0
// Bytes as lowercase hex digits: the one formatter the dump lines, the JSON
// objects and the tools share.
#pragma once

#include <cstddef>

namespace morvix {

// Writes 2 * n digits for bytes[0 .. n - 1] at out (no terminator, nothing
// allocated); with separator nonzero, that character follows each byte's
// pair too. Returns the position after the last character written.
char* put_hex(char* out, const unsigned char* bytes, size_t n, char separator = 0);

}  // namespace morvix
