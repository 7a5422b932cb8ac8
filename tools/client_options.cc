// SPDX-License-Identifier: Apache-2.0
#include "tools/client_options.h"

#include <cstdio>
#include <cstdlib>

#include "tools/tool_args.h"

namespace morvix::client {

namespace {

using tool::bad_arguments;
using tool::integer_option;

constexpr const char* kUsage =
    "usage: morvix-client [options]\n"
    "Asks the morvix daemon for its distribution port, registers there and\n"
    "prints every frame it relays, one line per frame:\n"
    "  <UTC time> len=<bytes> first=<hex> F=<fill bits> B=<blocks> payload=<hex>\n"
    "followed by header-crc=bad or frame-crc=bad when a check fails.\n"
    "\n"
    "  --host HOST         the daemon's host (default localhost)\n"
    "  --port PORT         its port announcement TCP port, 1-65535 (default 4851)\n"
    "  --json              print one JSON object per frame instead, with the keys\n"
    "                      time, length, first, fill, blocks, payload (hex),\n"
    "                      header_crc_ok and frame_crc_ok\n"
    "  --raw FILE          also append each frame to FILE as a record: its length\n"
    "                      as 2 bytes, most significant first, then its bytes\n"
    "  --count N           leave after N frames, 1-1000000000\n"
    "  --timeout SECONDS   leave with status 1 when no frame has come for SECONDS,\n"
    "                      1-86400, counted from the start and from every frame\n"
    "  --refresh SECONDS   renew the registration every SECONDS, 1-299 (default\n"
    "                      60; the daemon forgets a client after 300 silent s)\n"
    "  --verbose           also report registrations and keepalives on stderr\n"
    "  --version           print the version and exit\n"
    "  --help              show this text\n"
    "\n"
    "While nothing arrives it also refreshes every 5 s, so that a daemon that\n"
    "has stopped or restarted refuses the next datagram within seconds. When\n"
    "the daemon stops answering (a refused datagram, or nothing at all, not\n"
    "even a keepalive, for 130 s) the client asks for the port again, waiting\n"
    "1, 2, 4 ... up to 30 s between failed attempts. After 75 s with no frame\n"
    "and no keepalive it says once that the daemon may have no free slot.\n"
    "On SIGINT, SIGTERM or SIGHUP, and when it leaves, it sends DISCONNECT.\n"
    "Exit status: 0 done or stopped by a signal, 1 timeout or a failed file or\n"
    "socket, 2 bad arguments.\n";

}  // namespace

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) bad_arguments(name + " needs a value");
      return argv[++i];
    };
    if (name == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--version") {
      tool::print_version();
    } else if (name == "--host") {
      o.host = value();
      if (o.host.empty()) bad_arguments("--host needs a host name or address");
    } else if (name == "--port") {
      o.port = static_cast<int>(integer_option(name, value(), 1, 65535));
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--raw") {
      o.raw = value();
      if (o.raw.empty()) bad_arguments("--raw needs a file name");
    } else if (name == "--count") {
      o.count = integer_option(name, value(), 1, 1000000000);
    } else if (name == "--timeout") {
      o.timeout = static_cast<int>(integer_option(name, value(), 1, 86400));
    } else if (name == "--refresh") {
      o.refresh = static_cast<int>(integer_option(name, value(), 1, 299));
    } else if (name == "--verbose") {
      o.verbose = true;
    } else {
      bad_arguments("unknown argument '" + name + "'");
    }
  }
  return o;
}

}  // namespace morvix::client
