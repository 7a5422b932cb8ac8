// SPDX-License-Identifier: Apache-2.0
#include "net/client_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/clock.h"
#include "runtime/fatal.h"
#include "runtime/ipv4.h"
#include "runtime/socket_buffer.h"

namespace morvix {

namespace {

constexpr int kRxBufferBytes = 2048;
constexpr int kSendBufferBytes = 4 << 20;

// What follows a keyword does not matter; a datagram shorter than it never matches.
bool begins_with(const unsigned char* data, ssize_t len, const char* keyword) {
  const size_t n = std::strlen(keyword);
  return len >= static_cast<ssize_t>(n) && std::memcmp(data, keyword, n) == 0;
}

// "192.0.2.7:5000" for -v lines.
void print_peer(uint32_t addr, uint32_t port) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, text, sizeof text);
  std::fprintf(stderr, "%s:%u", text, static_cast<unsigned>(ntohs(static_cast<uint16_t>(port))));
}

// With -v: within the budget of refusal lines, whatever the number of peers.
void tell_refused(Distribution& dist, uint32_t addr, uint32_t port, std::time_t now) {
  if (!line_allowed(dist.refused_lines, now)) return;
  std::fputs("client ", stderr);
  print_peer(addr, port);
  std::fprintf(stderr, " refused: all %d client slots are taken\n", dist.table.num_clients - 1);
}

// The upstream server switched its feed: said with or without -v, as the
// lookup's lines are, within a budget, as a forged source can switch it too.
void tell_feed(Distribution& dist, const client_slot& upstream, bool on) {
  if (!line_allowed(dist.feed_lines, clock_now())) return;
  std::fputs("upstream server ", stderr);
  print_peer(upstream.addr, upstream.port);
  std::fputs(on ? " started the feed (START)\n"
                : " stopped the feed (STOP): frames go to clients only until it sends START\n",
             stderr);
}

// Tells the counts of the lines left out once their minute is over.
void flush_line_limits(Distribution& dist) {
  const std::time_t now = clock_now();
  line_limit_flush(dist.feed_lines, now);
  line_limit_flush(dist.refused_lines, now);
  line_limit_flush(dist.left_lines, now);
  line_limit_flush(dist.expired_lines, now);
}

}  // namespace

// Frames sent to 0.0.0.0 land on the station itself, to broadcast or
// multicast on everybody, to port 0 nowhere.
bool unanswerable(uint32_t addr, uint32_t port) {
  const uint32_t host = ntohl(addr);
  return host == INADDR_ANY || host == INADDR_BROADCAST || IN_MULTICAST(host) || port == 0;
}

void send_to_slot(Distribution& dist, const client_slot& slot, const void* data, size_t len) {
  const sockaddr_in to = ipv4_address(slot.addr, static_cast<uint16_t>(slot.port));
  if (sendto(dist.table.cfd, data, len, 0, reinterpret_cast<const sockaddr*>(&to),
             dist.table.salen) < 0) {
    ++(&slot == &dist.table.clients[0] ? dist.stats.send_errors_upstream
                                       : dist.stats.send_errors_client);
  }
}

void clear_client_slots(Distribution& dist) {
  for (int i = 0; i < dist.table.num_clients; ++i) dist.table.clients[i] = client_slot{};
}

namespace {

// These messages had a blank line after them; the system's reason now
// stands there, the message line unchanged.
[[noreturn]] void distribution_failed(const char* message) {
  char reason[96];
  std::snprintf(reason, sizeof reason, "distribution socket: %s", std::strerror(errno));
  fatal(message, reason);
}

}  // namespace

void clients_open_dstream(Distribution& dist) {
  dist.table.cfd = socket(AF_INET, SOCK_DGRAM, 0);
  if (dist.table.cfd < 0) distribution_failed("can't get cfd socket");

  fcntl(dist.table.cfd, F_SETFL, fcntl(dist.table.cfd, F_GETFL) | O_NONBLOCK);
  // Frames to a LAN client that has gone stay queued for seconds while its
  // address is resolved; they must not fill the buffer that every other
  // slot's sends share.
  ask_socket_buffer(dist.table.cfd, SocketBuffer::kSend, kSendBufferBytes);

  sockaddr_in local = ipv4_address(htonl(INADDR_ANY), 0);
  if (bind(dist.table.cfd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
    distribution_failed("can't find cfd socket");
  }

  socklen_t len = sizeof local;
  if (getsockname(dist.table.cfd, reinterpret_cast<sockaddr*>(&local), &len) < 0) {
    distribution_failed("getsockname failed");
  }
  dist.table.cd_port = ntohs(local.sin_port);
}

void send_to_clients(Distribution& dist, const unsigned char* frame, int framelen) {
  for (int i = 0; i < dist.table.num_clients; ++i) {
    if (dist.table.clients[i].stamp != 0) {
      send_to_slot(dist, dist.table.clients[i], frame, static_cast<size_t>(framelen));
    }
  }
}

void process_udp_rx_clients(Distribution& dist) {
  flush_line_limits(dist);
  unsigned char buf[kRxBufferBytes];
  for (int taken = 0; taken < kDatagramsPerDrain; ++taken) {
    sockaddr_in from{};
    socklen_t fromlen = dist.table.salen;
    const ssize_t n =
        recvfrom(dist.table.cfd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0) return;
    if (n == 0) continue;  // registers nobody

    const uint32_t addr = from.sin_addr.s_addr;
    const uint32_t port = from.sin_port;
    if (unanswerable(addr, port)) {
      ++dist.stats.refused_source;
      continue;
    }
    client_slot& upstream = dist.table.clients[0];
    if (addr == upstream.addr && port == upstream.port) {
      const int64_t was = upstream.stamp;
      if (begins_with(buf, n, "START")) {
        upstream.stamp = 1;
        ++dist.stats.upstream_starts;
      } else if (begins_with(buf, n, "STOP")) {
        upstream.stamp = 0;
        ++dist.stats.upstream_stops;
      }
      if (upstream.stamp != was) tell_feed(dist, upstream, upstream.stamp != 0);
      continue;
    }

    const std::time_t now = clock_now();

    // Free slots are searched too, so a returning peer gets its old slot back.
    int slot = 0;
    for (int i = 1; i < dist.table.num_clients && slot == 0; ++i) {
      if (dist.table.clients[i].addr == addr && dist.table.clients[i].port == port) slot = i;
    }
    if (slot == 0) {
      for (int i = 1; i < dist.table.num_clients && slot == 0; ++i) {
        if (dist.table.clients[i].stamp == 0) slot = i;
      }
      if (slot == 0) {
        ++dist.stats.refused_full;
        if (dist.verbose) tell_refused(dist, addr, port, now);
        continue;
      }
      std::printf("add new client slot %d, %04x %02x\n", slot, static_cast<unsigned>(addr),
                  static_cast<unsigned>(port));
      dist.table.clients[slot].addr = addr;
      dist.table.clients[slot].port = port;
    }

    client_slot& client = dist.table.clients[slot];
    const bool was_active = client.stamp != 0;
    if (begins_with(buf, n, "DISCONNECT")) {
      client.stamp = 0;
      if (was_active) {
        ++dist.stats.disconnects;
        if (dist.verbose && line_allowed(dist.left_lines, now)) {
          std::fprintf(stderr, "client slot %d (", slot);
          print_peer(addr, port);
          std::fputs(") left\n", stderr);
        }
      }
    } else {
      client.stamp = now;
      if (!was_active) ++dist.stats.registrations;
    }
    dist.table.active_clients = 1;
  }
}

int clients_in_use(const Distribution& dist) {
  int n = 0;
  for (int i = 1; i < dist.table.num_clients; ++i) n += dist.table.clients[i].stamp != 0;
  return n;
}

void send_client_keepalives(Distribution& dist) {
  flush_line_limits(dist);
  const std::time_t now = clock_now();
  for (int i = 1; i < dist.table.num_clients; ++i) {
    client_slot& slot = dist.table.clients[i];
    if (slot.stamp == 0) continue;
    if (now - slot.stamp > kClientTimeout) {
      ++dist.stats.expiries;
      if (dist.verbose && line_allowed(dist.expired_lines, now)) {
        std::fprintf(stderr, "client slot %d (", i);
        print_peer(slot.addr, slot.port);
        std::fprintf(stderr, ") expired after %lld s of silence\n",
                     static_cast<long long>(now - slot.stamp));
      }
      slot.stamp = 0;
    } else {
      send_to_slot(dist, slot, kKeepalive, kKeepaliveBytes);
    }
  }
}

}  // namespace morvix
