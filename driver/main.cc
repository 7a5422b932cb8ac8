// SPDX-License-Identifier: Apache-2.0
// morvix: decodes frames from a one-bit sample stream and relays them to
// registered clients and the upstream collection server.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "decoder/decoder.h"
#include "decoder/sample_ring.h"
#include "driver/hangup.h"
#include "driver/main_loop.h"
#include "driver/options.h"
#include "driver/station_log.h"
#include "driver/station_ports.h"
#include "driver/status_http.h"
#include "fec/link_codec.h"
#include "net/client_table.h"
#include "net/port_announce.h"
#include "net/upstream.h"
#include "net/upstream_lookup.h"
#include "runtime/clock.h"
#include "runtime/fatal.h"

using namespace morvix;

int main(int argc, char** argv) {
  // Console lines must reach a pipe or journal as soon as they are whole:
  // the daemon only ever ends by being killed. The buffer is ours, so the
  // first line does not allocate one.
  static char stdout_buffer[BUFSIZ];
  std::setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
  // A console reader that has gone (a pipe to a dead log shipper) costs the
  // lines it misses, not the station.
  std::signal(SIGPIPE, SIG_IGN);

#ifdef MORVIX_CLOCK_RATE
  clock_speed_up(MORVIX_CLOCK_RATE);  // soak builds only
#endif

  static Decoder d;
  static Distribution dist;
  static LoopState loop;

  const Settings settings = parse_command_line(argc, argv);
  if (settings.help) {
    print_help(stdout, settings.upstream_host);
    return 0;
  }
  loop.dump = settings.dump;
  loop.verbose = settings.verbose;
  dist.verbose = settings.verbose;
  if (!get_uid(dist)) return 1;

  const rs_codec* rs = settings.fec ? link_codec() : nullptr;
  if (settings.fec && rs == nullptr) fatal("init_rs_char failed");
  // Frame state, input buffer, tables from sps and the ring positions.
  decoder_setup(d, settings.sps, settings.fec, rs);
  d.improved_reading = settings.improved_reading;
  dist.table.salen = sizeof(sockaddr_in);
  dist.table.num_clients = settings.num_clients;
  dist.announce.ct_port = settings.ct_port;
  clear_client_slots(dist);
  dist.upstream.vorn_port = settings.upstream_port;
  dist.upstream.vorn_off = settings.upstream_off;
  dist.upstream.vorn_host = settings.upstream_off ? "off" : settings.upstream_host;
  // Start-up does not wait for the answer: numeric addresses and /etc/hosts
  // names fill slot 0 right here, a name server's answer arrives in the loop
  // (and the identity goes out as soon as it does).
  if (!dist.upstream.vorn_off) {
    static UpstreamLookup lookup;
    lookup_open(lookup);
    lookup_vorn_dns(dist, lookup);
    loop.lookup = &lookup;
  }
  loop.tick_counter = 0;
  if (!server_open_dstream(d.ring, settings.rx_port)) {
    char message[64];
    char detail[96];
    std::snprintf(message, sizeof message, "can't open bitstream input port %d",
                  settings.rx_port & 0xFFFF);
    std::snprintf(detail, sizeof detail, "UDP port %d (-r): %s", settings.rx_port & 0xFFFF,
                  std::strerror(errno));
    fatal(message, detail);
  }
  tcp_server_setup(dist);
  clients_open_dstream(dist);
  if (settings.http_port != 0) {
    static StatusHttp http;
    errno = 0;
    if (!status_http_open(http, settings.http_addr, settings.http_port, d, dist, loop)) {
      const int why = errno;
      char message[64];
      char address[INET_ADDRSTRLEN];
      char detail[128];
      std::snprintf(message, sizeof message, "can't open status port %d", settings.http_port);
      inet_ntop(AF_INET, &settings.http_addr, address, sizeof address);
      std::snprintf(detail, sizeof detail, "TCP %s:%d (-m): %s", address, settings.http_port,
                    why != 0 ? std::strerror(why) : "the HTTP library could not listen there");
      fatal(message, detail);
    }
    loop.http = &http;
  }
  read_station_ports(loop.ports, d, dist, settings.http_addr, settings.http_port);
  loop.figures.input_port = loop.ports.sockets[0].port;
  loop.hangup_fd = hangup_open();
  send_vorn_uid(dist);
  loop.last_tick = clock_now();
  loop.start = loop.last_tick;
  loop.start_wall = std::time(nullptr);
  if (settings.verbose) {
    log_start(loop.log, d, dist, settings.rx_port, settings.http_addr, settings.http_port,
              loop.start);
  }

  for (;;) main_pass(loop, d, dist);
}
