// SPDX-License-Identifier: Apache-2.0
#include "driver/options.h"

#include <arpa/inet.h>

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

// -m's value: PORT or ADDR:PORT.
void read_http_address(Settings& s, const char* text) {
  const char* colon = std::strrchr(text, ':');
  const char* port = text;
  if (colon != nullptr) {
    char address[INET_ADDRSTRLEN];
    const size_t len = static_cast<size_t>(colon - text);
    if (len >= sizeof address) fatal("-m address invalid");
    std::memcpy(address, text, len);
    address[len] = '\0';
    if (inet_pton(AF_INET, address, &s.http_addr) != 1) fatal("-m address invalid");
    port = colon + 1;
  }
  char* end = nullptr;
  const long value = std::strtol(port, &end, 10);
  if (end == port || *end != '\0' || value < 1 || value > 65535) fatal("-m port invalid");
  s.http_port = static_cast<int>(value);
}

}  // namespace

Settings parse_command_line(int argc, const char* const* argv) {
  Settings s;
  s.http_addr = htonl(INADDR_LOOPBACK);
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
      s.soft_reading = 1;
    } else if (std::strcmp(arg, "-v") == 0) {
      s.verbose = 1;
    } else if (std::strcmp(arg, "-m") == 0) {
      if (i + 1 >= argc) fatal("-m needs [ADDR:]PORT");
      read_http_address(s, argv[++i]);
    } else if (std::strcmp(arg, "--version") == 0) {
      std::fputs("morvix " MORVIX_VERSION "\n", stderr);
      std::exit(0);
    } else {
      std::fputs(kUsage, stderr);
      std::exit(0);
    }
  }
  return s;
}

}  // namespace morvix
