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

// -u's value: off, HOST or HOST:PORT.
void read_upstream(Settings& s, const char* text) {
  if (std::strcmp(text, "off") == 0) {
    s.upstream_off = 1;
    return;
  }
  s.upstream_off = 0;
  const char* colon = std::strchr(text, ':');
  const size_t len = colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text);
  if (len == 0 || len > kMaxUpstreamHost) fatal("-u host invalid");
  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    const bool name_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (!name_char) fatal("-u host invalid");
  }
  std::memcpy(s.upstream_host, text, len);
  s.upstream_host[len] = '\0';
  s.upstream_port = kUpstreamPort;
  if (colon != nullptr) {
    char* end = nullptr;
    const long value = std::strtol(colon + 1, &end, 10);
    const bool digits = colon[1] >= '0' && colon[1] <= '9';
    if (!digits || *end != '\0' || value < 1 || value > 65535) fatal("-u port invalid");
    s.upstream_port = static_cast<int>(value);
  }
}

}  // namespace

Settings parse_command_line(int argc, const char* const* argv) {
  Settings s;
  s.http_addr = htonl(INADDR_LOOPBACK);
  std::snprintf(s.upstream_host, sizeof s.upstream_host, "%s", MORVIX_UPSTREAM_HOST);
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
      s.improved_reading = 1;
    } else if (std::strcmp(arg, "-v") == 0) {
      s.verbose = 1;
    } else if (std::strcmp(arg, "-m") == 0) {
      if (i + 1 >= argc) fatal("-m needs [ADDR:]PORT");
      read_http_address(s, argv[++i]);
    } else if (std::strcmp(arg, "--help") == 0) {
      s.help = 1;
      return s;
    } else if (std::strcmp(arg, "-u") == 0) {
      if (i + 1 >= argc) fatal("-u needs HOST[:PORT] or off");
      read_upstream(s, argv[++i]);
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

void print_help(std::FILE* to, const char* upstream_host) {
  std::fprintf(to,
               "usage: morvix [options]\n"
               "Decodes frames from a one-bit sample stream and relays them to registered\n"
               "clients and the upstream collection server. The station identity is read\n"
               "from uid.txt in the working directory.\n"
               "\n"
               "  -r PORT          UDP port of the bitstream input (default %d)\n"
               "  -t PORT          TCP port of the port announcement (default %d)\n"
               "  -s N             samples per line bit, 1-1000 (default 10)\n"
               "  -c N             subscriber table slots, the upstream slot included, at\n"
               "                   most 32 (default 5: 4 clients)\n"
               "  -f               no Reed-Solomon correction: frames rely on the CRCs alone\n"
               "  -d               print every new frame on standard output\n"
               "  -a               the improved reading: each frame read first from soft values\n"
               "                   the decoder learns (weaker senders, off-centre slicers)\n"
               "  -v               the station's work on standard error (a line a minute)\n"
               "  -m [ADDR:]PORT   status page, /metrics and /stats.json over HTTP on ADDR\n"
               "                   (default 127.0.0.1), PORT 1-65535\n"
               "  -u HOST[:PORT]   upstream collection server (default: %s:%d);\n"
               "                   off turns the feed off\n"
               "  --version        print the version on standard error and exit\n"
               "  --help           show this text and exit\n",
               kInputPort, kAnnouncePort, upstream_host, kUpstreamPort);
}

}  // namespace morvix
