// SPDX-License-Identifier: Apache-2.0
// The command line.
#pragma once

#include <cstdint>

namespace morvix {

// Settings with their defaults.
struct Settings {
  int rx_port = 17001;     // -r: UDP port of the bitstream input
  int ct_port = 4851;      // -t: TCP port of the port announcement
  int sps = 10;            // -s: samples per line bit, 1 .. 1000
  int num_clients = 5;     // -c: table slots in use, upstream slot included, at most 32
  int fec = 1;             // -f turns Reed-Solomon correction off
  int dump = 0;            // -d prints every new frame
  int soft_reading = 0;    // -a reads each frame softly first (decoder.h)
  int verbose = 0;         // -v: the station's work on standard error
  int http_port = 0;       // -m [ADDR:]PORT: status page and metrics; 0: none
  uint32_t http_addr = 0;  // ... on this address, network byte order (127.0.0.1 unless given)
};

inline constexpr char kUsage[] =
    "morvix [-d] [-r port] [-t port]\n r=receive UDP port# for bitstream, t=tcp client port#\n";

// Reads the arguments left to right, the last of an option winning; values
// as atoi reads them (-m's strictly: an IPv4 address and a port 1..65535). A
// missing or invalid value ends the process through fatal; --version writes
// "morvix VERSION" to standard error and exits 0; any other argument writes
// kUsage to standard error and exits 0.
Settings parse_command_line(int argc, const char* const* argv);

}  // namespace morvix
