// SPDX-License-Identifier: Apache-2.0
#include "net/port_announce.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "runtime/fatal.h"
#include "runtime/ipv4.h"

namespace morvix {

namespace {

constexpr int kListenBacklog = 10;

// Ends through fatal with message as it always read, then the port and the
// system's reason on a line of their own.
[[noreturn]] void listener_failed(const Distribution& dist, const char* message) {
  char detail[96];
  std::snprintf(detail, sizeof detail, "TCP port %d (-t): %s", dist.announce.ct_port & 0xFFFF,
                std::strerror(errno));
  fatal(message, detail);
}

}  // namespace

void tcp_server_setup(Distribution& dist) {
  dist.announce.tfd = socket(AF_INET, SOCK_STREAM, 0);
  if (dist.announce.tfd < 0) listener_failed(dist, "Can't get a listen socket");

  const int on = 1;
  setsockopt(dist.announce.tfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  fcntl(dist.announce.tfd, F_SETFL, fcntl(dist.announce.tfd, F_GETFL) | O_NONBLOCK);

  // The low 16 bits of ct_port.
  const sockaddr_in local =
      ipv4_address(htonl(INADDR_ANY), htons(static_cast<uint16_t>(dist.announce.ct_port)));
  if (bind(dist.announce.tfd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
    listener_failed(dist, "Can't bind listen socket to port");
  }
  if (listen(dist.announce.tfd, kListenBacklog) < 0) {
    listener_failed(dist, "Can't listen on socket");
  }
}

void process_tcp_connections(Distribution& dist) {
  // The main loop calls this only when the listener is ready: an accept
  // that finds nothing builds and tears down a socket in the kernel, which
  // on every pass cost more than the decoding.
  for (int served = 0; served < kConnectionsPerCall; ++served) {
    const int fd = accept(dist.announce.tfd, nullptr, nullptr);
    if (fd < 0) return;

    std::puts("got tcp request");
    ++dist.stats.port_announcements;

    char reply[16];
    const int len = std::snprintf(reply, sizeof reply, "%d\r\n", dist.table.cd_port);
    // A client that already reset the connection must not take the daemon
    // down with SIGPIPE.
    send(fd, reply, static_cast<size_t>(len), MSG_NOSIGNAL);
    close(fd);
  }
}

}  // namespace morvix
