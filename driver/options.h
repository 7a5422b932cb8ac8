// The command line.
#pragma once

namespace morvix {

// Settings with their defaults.
struct Settings {
  int rx_port = 17001;  // -r: UDP port of the bitstream input
  int ct_port = 4851;   // -t: TCP port of the port announcement
  int sps = 10;         // -s: samples per line bit, 1 .. 1000
  int num_clients = 5;  // -c: table slots in use, upstream slot included, at most 32
  int fec = 1;          // -f turns Reed-Solomon correction off
  int dump = 0;         // -d prints every new frame
  int improved = 0;     // -a reads each frame by majority first (decoder.h)
};

inline constexpr char kUsage[] =
    "morvix [-d] [-r port] [-t port]\n r=receive UDP port# for bitstream, t=tcp client port#\n";

// Reads the arguments left to right, the last of an option winning; values
// as atoi reads them. A missing or invalid value ends the process through
// fatal; any other argument writes kUsage to standard error and exits 0.
Settings parse_command_line(int argc, const char* const* argv);

}  // namespace morvix
