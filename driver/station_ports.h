// SPDX-License-Identifier: Apache-2.0
// The station's listening sockets as an operator firewalls them and a
// dashboard shows them: each one's transport, bound address and port, read
// back from the socket itself once start-up has opened them all (the
// distribution port is the system's choice at every start).
#pragma once

#include <cstdint>

#include "decoder/decoder.h"
#include "net/client_table.h"

namespace morvix {

struct BoundSocket {
  const char* name = "";       // "input", "announcement", "distribution" or "status"
  const char* transport = "";  // "udp" or "tcp"
  uint32_t addr = 0;           // bound address, network byte order; 0.0.0.0: every address
  int port = 0;                // host byte order; 0: not open
};

constexpr int kStationSockets = 4;

struct StationPorts {
  BoundSocket sockets[kStationSockets];  // in the order of the names above
};

// Fills ports from the bitstream input, the port announcement and the
// distribution socket (their bound addresses as the system reports them),
// and the status listener at http_addr (network byte order) and http_port
// (0: none, which leaves its port 0).
void read_station_ports(StationPorts& ports, const Decoder& d, const Distribution& dist,
                        uint32_t http_addr, int http_port);

}  // namespace morvix
