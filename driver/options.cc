#include "driver/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decoder/decoder.h"
#include "net/client_table.h"
#include "runtime/fatal.h"

namespace morvix {

namespace {

// The value after option i, or fatal(missing) when there is none.
int option_value(int argc, const char* const* argv, int& i, const char* missing) {
  if (i + 1 >= argc) fatal(missing);
  return std::atoi(argv[++i]);
}

}  // namespace

Settings parse_command_line(int argc, const char* const* argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "-r") == 0) {
      s.rx_port = option_value(argc, argv, i, "-r needs PORT");
      if (s.rx_port < 1) fatal("-r port invalid");
    } else if (std::strcmp(arg, "-t") == 0) {
      s.ct_port = option_value(argc, argv, i, "-t needs PORT");
      if (s.ct_port < 1) fatal("-t port invalid");
    } else if (std::strcmp(arg, "-s") == 0) {
      s.sps = option_value(argc, argv, i, "-s needs number");
      // The ring is sized from sps at start-up; past kMaxSps it would be
      // needlessly large.
      if (s.sps < 1 || s.sps > kMaxSps) fatal("-s samples invalid");
    } else if (std::strcmp(arg, "-c") == 0) {
      s.num_clients = option_value(argc, argv, i, "-c needs number");
      if (s.num_clients > kMaxClients) fatal("-c # invalid");
    } else if (std::strcmp(arg, "-f") == 0) {
      s.fec = 0;
    } else if (std::strcmp(arg, "-d") == 0) {
      s.dump = 1;
    } else if (std::strcmp(arg, "-a") == 0) {
      s.improved = 1;
    } else {
      std::fputs(kUsage, stderr);
      std::exit(0);
    }
  }
  return s;
}

}  // namespace morvix
