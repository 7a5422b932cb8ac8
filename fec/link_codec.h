// SPDX-License-Identifier: Apache-2.0
// The link's Reed-Solomon code: 5-bit symbols over GF(32) built from
// x^5 + x^2 + 1, generator roots alpha^14 .. alpha^17, shortened by 15
// symbols to words of 16: 12 data symbols, then 4 parity symbols. Every
// block on the line is one such word (decoder/block_decoder.h).
#pragma once

#include <cstdint>

#include "fec/init_rs.h"

namespace morvix {

constexpr uint32_t kLinkSymbolBits = 5;
constexpr int kLinkFieldPoly = 0x25;  // x^5 + x^2 + 1
constexpr int kLinkFirstRoot = 14;
constexpr int kLinkRootStep = 1;
constexpr int kLinkParity = 4;
constexpr int kLinkPad = 15;
constexpr int kLinkFullLength = (1 << kLinkSymbolBits) - 1;
constexpr int kLinkSymbols = kLinkFullLength - kLinkPad;
constexpr int kLinkDataSymbols = kLinkSymbols - kLinkParity;

// The link's codec, made with init_rs_char on the first call and kept for
// the life of the process (never freed): every call returns the same
// handle. Null when memory ran out on the first call, and from then on.
const rs_codec* link_codec();

}  // namespace morvix
