// SPDX-License-Identifier: Apache-2.0
// For fuzz_clients: the senders on loopback that play the table's peers,
// and a model of the table that the daemon's must match.
#pragma once

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string_view>
#include <vector>

#include "fuzz/check.h"
#include "net/client_table.h"
#include "runtime/ipv4.h"

namespace morvix::fuzz {

inline constexpr int kSenders = 8;

struct Sender {
  int fd;
  uint32_t addr;  // network byte order, as the table holds them
  uint32_t port;
};

struct Loopback {
  Distribution opened;  // only cfd and cd_port are used
  Sender senders[kSenders];
};

inline Sender open_sender(const char* address) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  FUZZ_CHECK(fd >= 0);
  in_addr host{};
  FUZZ_CHECK(inet_pton(AF_INET, address, &host) == 1);
  sockaddr_in local = ipv4_address(host.s_addr, 0);
  FUZZ_CHECK(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0);
  socklen_t len = sizeof local;
  FUZZ_CHECK(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0);
  return {fd, local.sin_addr.s_addr, local.sin_port};
}

inline Loopback& loopback() {
  static Loopback* const net = [] {
    // The registration lines are not what is checked here.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    auto* made = new Loopback;
    clients_open_dstream(made->opened);
    const char* addresses[kSenders] = {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1",
                                       "127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3"};
    for (int i = 0; i < kSenders; ++i) made->senders[i] = open_sender(addresses[i]);
    return made;
  }();
  return *net;
}

inline uint32_t queued_memory(int fd) {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  FUZZ_CHECK(getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0);
  return info[SK_MEMINFO_RMEM_ALLOC];
}

inline bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

inline void discard_waiting(int fd) {
  unsigned char buf[64];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
  }
}

struct Datagram {
  int sender;
  std::vector<unsigned char> bytes;
};

inline bool begins_with(const Datagram& g, std::string_view keyword) {
  return g.bytes.size() >= keyword.size() &&
         std::memcmp(g.bytes.data(), keyword.data(), keyword.size()) == 0;
}

// The table as the daemon's design says it must evolve.
struct Model {
  client_slot clients[kMaxClients];
  int num_clients;
  int active_clients;
  std::deque<Datagram> queued;

  // One drain pass: at most kDatagramsPerDrain datagrams, empty ones
  // changing nothing. Returns whether it took an upstream keyword.
  bool pass(const Loopback& net, std::time_t now) {
    bool keyword = false;
    for (int taken = 0; taken < kDatagramsPerDrain && !queued.empty(); ++taken) {
      const Datagram g = queued.front();
      queued.pop_front();
      if (g.bytes.empty()) continue;
      const Sender& from = net.senders[g.sender];
      client_slot& upstream = clients[0];
      if (from.addr == upstream.addr && from.port == upstream.port) {
        if (begins_with(g, "START")) {
          upstream.stamp = 1;
          keyword = true;
        } else if (begins_with(g, "STOP")) {
          upstream.stamp = 0;
          keyword = true;
        }
        continue;
      }
      int slot = 0;
      for (int i = 1; i < num_clients && slot == 0; ++i) {
        if (clients[i].addr == from.addr && clients[i].port == from.port) slot = i;
      }
      for (int i = 1; i < num_clients && slot == 0; ++i) {
        if (clients[i].stamp == 0) slot = i;
      }
      if (slot == 0) continue;
      clients[slot].addr = from.addr;
      clients[slot].port = from.port;
      clients[slot].stamp = begins_with(g, "DISCONNECT") ? 0 : now;
      active_clients = 1;
    }
    return keyword;
  }

  // Frees the long-silent clients; marks the senders owed a keepalive.
  void tick(const Loopback& net, std::time_t now, bool owed[kSenders]) {
    for (int i = 1; i < num_clients; ++i) {
      if (clients[i].stamp == 0) continue;
      if (now - clients[i].stamp > kClientTimeout) {
        clients[i].stamp = 0;
        continue;
      }
      for (int s = 0; s < kSenders; ++s) {
        if (net.senders[s].addr == clients[i].addr && net.senders[s].port == clients[i].port) {
          owed[s] = true;
        }
      }
    }
  }
};

}  // namespace morvix::fuzz
