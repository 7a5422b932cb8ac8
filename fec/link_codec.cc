// SPDX-License-Identifier: Apache-2.0
#include "fec/link_codec.h"

namespace morvix {

const rs_codec* link_codec() {
  static const rs_codec* const codec = init_rs_char(kLinkSymbolBits, kLinkFieldPoly, kLinkFirstRoot,
                                                    kLinkRootStep, kLinkParity, kLinkPad);
  return codec;
}

}  // namespace morvix
