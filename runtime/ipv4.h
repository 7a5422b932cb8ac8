// SPDX-License-Identifier: Apache-2.0
// IPv4 socket addresses, the one form every socket of the daemon uses.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace morvix {

// The socket address of addr and port, both in network byte order as a
// socket address carries them (htonl(INADDR_ANY) for all local addresses).
sockaddr_in ipv4_address(uint32_t addr, uint16_t port);

}  // namespace morvix
