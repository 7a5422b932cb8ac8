// SPDX-License-Identifier: Apache-2.0
#include "driver/station_ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace morvix {

namespace {

BoundSocket bound(const char* name, const char* transport, int fd) {
  BoundSocket b{name, transport, 0, 0};
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    b.addr = local.sin_addr.s_addr;
    b.port = ntohs(local.sin_port);
  }
  return b;
}

}  // namespace

void read_station_ports(StationPorts& ports, const Decoder& d, const Distribution& dist,
                        uint32_t http_addr, int http_port) {
  ports.sockets[0] = bound("input", "udp", d.ring.dfd);
  ports.sockets[1] = bound("announcement", "tcp", dist.announce.tfd);
  ports.sockets[2] = bound("distribution", "udp", dist.table.cfd);
  ports.sockets[3] = {"status", "tcp", http_port != 0 ? http_addr : 0, http_port};
}

}  // namespace morvix
