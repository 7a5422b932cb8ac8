// SPDX-License-Identifier: Apache-2.0
// The command line.
#pragma once

#include <cstdint>
#include <cstdio>

#include "net/upstream.h"

namespace morvix {

// Longest host name -u takes (a DNS name's limit).
constexpr int kMaxUpstreamHost = 253;

constexpr int kInputPort = 17001;  // the bitstream input's, unless -r gives another

// Settings with their defaults.
struct Settings {
  int rx_port = kInputPort;     // -r: UDP port of the bitstream input
  int ct_port = kAnnouncePort;  // -t: TCP port of the port announcement
  int sps = 10;                 // -s: samples per line bit, 1 .. 1000
  int num_clients = 5;          // -c: table slots in use, upstream slot included, at most 32
  int fec = 1;                  // -f turns Reed-Solomon correction off
  int dump = 0;                 // -d prints every new frame
  int improved_reading = 0;     // -a reads each frame softly first (decoder.h)
  int verbose = 0;              // -v: the station's work on standard error
  int http_port = 0;            // -m [ADDR:]PORT: status page and metrics; 0: none
  uint32_t http_addr = 0;       // ... on this address, network byte order (127.0.0.1 unless given)
  int help = 0;                 // --help: print_help and exit 0, nothing else done
  // -u HOST[:PORT] or off: the upstream collection server (the build's
  // MORVIX_UPSTREAM_HOST and 4799 unless given).
  char upstream_host[kMaxUpstreamHost + 1] = {};
  int upstream_port = kUpstreamPort;
  int upstream_off = 0;  // -u off: no upstream feed, lookups or identity announcements
};

inline constexpr char kUsage[] =
    "morvix [-d] [-r port] [-t port]\n r=receive UDP port# for bitstream, t=tcp client port#\n";

// Reads the arguments left to right, the last of an option winning; values
// as atoi reads them (-m's strictly: an IPv4 address and a port 1..65535;
// -u's strictly: "off", or a host name or IPv4 address of letters, digits,
// '-', '.' and '_', and optionally ':' and a port 1..65535). A
// missing or invalid value ends the process through fatal; --version writes
// "morvix VERSION" to standard error and exits 0; --help stops the reading
// with help set (the caller prints the help, which names its upstream
// server); any other argument writes kUsage to standard error and exits 0.
Settings parse_command_line(int argc, const char* const* argv);

// Every option with its default, upstream_host the build's upstream server.
void print_help(std::FILE* to, const char* upstream_host);

}  // namespace morvix
