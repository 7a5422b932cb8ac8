// SPDX-License-Identifier: Apache-2.0
#include "runtime/ipv4.h"

namespace morvix {

sockaddr_in ipv4_address(uint32_t addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = addr;
  a.sin_port = port;
  return a;
}

}  // namespace morvix
