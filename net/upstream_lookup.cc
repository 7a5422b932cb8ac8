// SPDX-License-Identifier: Apache-2.0
#include "net/upstream_lookup.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

#include "net/upstream.h"

namespace morvix {

namespace {

ares_channel channel_of(const UpstreamLookup& lookup) {
  return static_cast<ares_channel>(lookup.channel);
}

// c-ares tells which sockets it holds and what each waits for.
void track_socket(void* data, ares_socket_t fd, int readable, int writable) {
  UpstreamLookup& lookup = *static_cast<UpstreamLookup*>(data);
  int at = 0;
  while (at < lookup.nfds && lookup.fds[at] != fd) ++at;
  if (!readable && !writable) {
    if (at < lookup.nfds) {
      lookup.fds[at] = lookup.fds[lookup.nfds - 1];
      lookup.events[at] = lookup.events[lookup.nfds - 1];
      --lookup.nfds;
    }
    return;
  }
  if (at == lookup.nfds) {
    // More sockets than any resolv.conf makes: the query times out instead.
    if (lookup.nfds == kLookupSockets) return;
    lookup.fds[lookup.nfds++] = fd;
  }
  lookup.events[at] = static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
}

void lookup_failed(Distribution& dist, const char* reason) {
  client_slot& upstream = dist.table.clients[0];
  // A server found before keeps being fed through a resolver's bad spell.
  if (!dist.upstream.vorn_found) upstream.stamp = 0;
  if (dist.upstream.vorn_failures++ == 0) {
    std::fprintf(stderr,
                 "upstream host \"%s\" not found (%s); trying again about every 16 minutes\n",
                 dist.upstream.vorn_host, reason);
  }
}

// An answer no server can hold (the station itself, broadcast, multicast)
// would send the identity and every frame there: refused like a failure,
// said every time, and looked up again at the next round.
void lookup_refused(Distribution& dist, uint32_t addr) {
  client_slot& upstream = dist.table.clients[0];
  if (!dist.upstream.vorn_found) upstream.stamp = 0;
  ++dist.upstream.vorn_failures;
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, address, sizeof address);
  std::fprintf(stderr,
               "upstream host \"%s\" refused: it resolved to %s, which no server can hold; "
               "trying again about every 16 minutes\n",
               dist.upstream.vorn_host, address);
}

void lookup_answered(Distribution& dist, uint32_t addr) {
  client_slot& upstream = dist.table.clients[0];
  const uint32_t port = htons(static_cast<uint16_t>(dist.upstream.vorn_port));
  const bool moved = !dist.upstream.vorn_found || upstream.addr != addr || upstream.port != port;
  if (moved) {
    upstream.addr = addr;
    upstream.port = port;
    upstream.stamp = 1;
    dist.table.active_clients = 1;
  }
  if (dist.upstream.vorn_failures > 0 || (moved && dist.upstream.vorn_found)) {
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, address, sizeof address);
    std::fprintf(stderr, "upstream host \"%s\" found at %s\n", dist.upstream.vorn_host, address);
  }
  dist.upstream.vorn_found = 1;
  dist.upstream.vorn_failures = 0;
  // The server learns who feeds it at once; at start-up, before the
  // distribution socket is open, the driver's first announcement does that.
  if (moved && dist.table.cfd >= 0) send_vorn_uid(dist);
}

void answer(void* data, int status, int /*timeouts*/, ares_addrinfo* result) {
  UpstreamLookup& lookup = *static_cast<UpstreamLookup*>(data);
  lookup.pending = 0;
  if (status == ARES_EDESTRUCTION || lookup.dist == nullptr) {
    if (result != nullptr) ares_freeaddrinfo(result);
    return;
  }
  // The first IPv4 address a server can hold, else the first refused.
  const uint32_t port = htons(static_cast<uint16_t>(lookup.dist->upstream.vorn_port));
  const ares_addrinfo_node* found = nullptr;
  const ares_addrinfo_node* refused = nullptr;
  for (const ares_addrinfo_node* n = status == ARES_SUCCESS && result != nullptr ? result->nodes
                                                                                 : nullptr;
       n != nullptr && found == nullptr; n = n->ai_next) {
    if (n->ai_family != AF_INET) continue;
    const uint32_t addr = reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr.s_addr;
    if (!unanswerable(addr, port)) {
      found = n;
    } else if (refused == nullptr) {
      refused = n;
    }
  }
  const auto addr_of = [](const ares_addrinfo_node* n) {
    return reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr.s_addr;
  };
  if (found != nullptr) {
    lookup_answered(*lookup.dist, addr_of(found));
  } else if (refused != nullptr) {
    lookup_refused(*lookup.dist, addr_of(refused));
  } else {
    lookup_failed(*lookup.dist, status != ARES_SUCCESS ? ares_strerror(status) : "no IPv4 address");
  }
  if (result != nullptr) ares_freeaddrinfo(result);
}

}  // namespace

UpstreamLookup::~UpstreamLookup() {
  if (channel != nullptr) ares_destroy(channel_of(*this));
}

int lookup_open(UpstreamLookup& lookup) {
  int status = ares_library_init(ARES_LIB_INIT_ALL);
  if (status == ARES_SUCCESS) {
    ares_options options{};
    options.sock_state_cb = track_socket;
    options.sock_state_cb_data = &lookup;
    ares_channel channel = nullptr;
    status = ares_init_options(&channel, &options, ARES_OPT_SOCK_STATE_CB);
    if (status == ARES_SUCCESS) lookup.channel = channel;
  }
  if (status != ARES_SUCCESS) {
    std::fprintf(stderr, "can't set up upstream lookups (%s)\n", ares_strerror(status));
    return 0;
  }
  return 1;
}

int lookup_vorn_dns(Distribution& dist, UpstreamLookup& lookup) {
  if (dist.upstream.vorn_off) return 0;
  lookup.dist = &dist;
  if (lookup.channel == nullptr) {
    lookup_failed(dist, "no resolver");
  } else if (!lookup.pending) {
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    lookup.pending = 1;  // before the call, which may answer at once
    ares_getaddrinfo(channel_of(lookup), dist.upstream.vorn_host, nullptr, &hints, answer, &lookup);
  }
  return dist.table.clients[0].port != 0 ? 1 : 0;
}

int lookup_wait(const UpstreamLookup& lookup, pollfd* out, int wait_ms) {
  for (int i = 0; i < kLookupSockets; ++i) {
    out[i] = {i < lookup.nfds ? lookup.fds[i] : -1, i < lookup.nfds ? lookup.events[i] : short{0},
              0};
  }
  if (!lookup.pending) return wait_ms;
  timeval limit{wait_ms / 1000, (wait_ms % 1000) * 1000};
  timeval left{};
  const timeval* next = ares_timeout(channel_of(lookup), &limit, &left);
  // Rounded up, so that the wait does not end just before the time-out.
  const long ms = next->tv_sec * 1000 + (next->tv_usec + 999) / 1000;
  return ms < wait_ms ? static_cast<int>(ms) : wait_ms;
}

void lookup_serve(UpstreamLookup& lookup, const pollfd* ready) {
  if (lookup.channel == nullptr) return;
  // The entries were copied before the wait; c-ares may drop a socket while
  // it serves another, and then ignores the stale one.
  for (int i = 0; i < kLookupSockets; ++i) {
    if (ready[i].fd < 0 || ready[i].revents == 0) continue;
    const bool in = (ready[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    const bool out = (ready[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    ares_process_fd(channel_of(lookup), in ? ready[i].fd : ARES_SOCKET_BAD,
                    out ? ready[i].fd : ARES_SOCKET_BAD);
  }
  if (lookup.pending) ares_process_fd(channel_of(lookup), ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

}  // namespace morvix
