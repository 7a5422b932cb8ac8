// SPDX-License-Identifier: Apache-2.0
// The subscriber table on real loopback sockets, over arbitrary sequences of
// datagrams, clock steps and keepalive ticks, checked against a model of
// the table after every drain pass and every tick.
//
// Input: byte 0 sets num_clients (mod 33); byte 1 picks the upstream slot's
// peer (mod 9: one of the eight senders, or 8 for a failed lookup, address
// and port 0) and, in bit 7, its feed flag. Then steps, each of:
//   op:     bits 0-2 the sender; bits 3-4 the content: raw bytes, "START",
//           "STOP" or "DISCONNECT"; bit 5 a keepalive tick after the step;
//           bit 6 leave the datagram queued for a later drain;
//   length: raw: that many bytes (mod 32) follow; a keyword: below 0x80 the
//           keyword and (length & 7) bytes that follow, otherwise only its
//           first (length mod its size) characters;
//   clock:  the clock moves by clock - 64 seconds before the send.
// The senders: four sockets on 127.0.0.1, two on 127.0.0.2, two on 127.0.0.3.

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/check.h"
#include "net/client_table.h"
#include "runtime/clock.h"
#include "runtime/ipv4.h"

namespace morvix {
namespace {

constexpr int kSenders = 8;
constexpr size_t kMaxQueued = 16;  // well within the socket's receive buffer
constexpr int kArrivalWaitMs = 2000;
constexpr std::time_t kClockStart = 1'000'000;
constexpr std::string_view kKeywords[] = {"START", "STOP", "DISCONNECT"};

// Slots the table must never touch hold this: a loopback peer nobody
// listens on, and a stamp long expired on odd slots, free on even ones.
client_slot sentinel(int slot) { return {htonl(0x7F0000C8), htons(9), slot % 2}; }

bool same_slot(const client_slot& a, const client_slot& b) {
  return a.addr == b.addr && a.port == b.port && a.stamp == b.stamp;
}

struct Sender {
  int fd;
  uint32_t addr;  // network byte order, as the table holds them
  uint32_t port;
};

struct Loopback {
  Distribution opened;  // only cfd and cd_port are used
  Sender senders[kSenders];
};

Sender open_sender(const char* address) {
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

Loopback& loopback() {
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

uint32_t queued_memory(int fd) {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  FUZZ_CHECK(getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0);
  return info[SK_MEMINFO_RMEM_ALLOC];
}

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

void discard_waiting(int fd) {
  unsigned char buf[64];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
  }
}

struct Datagram {
  int sender;
  std::vector<unsigned char> bytes;
};

bool begins_with(const Datagram& g, std::string_view keyword) {
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

void check_table(const Distribution& dist, const Model& model) {
  FUZZ_CHECK(dist.table.num_clients == model.num_clients);
  FUZZ_CHECK(dist.table.active_clients == model.active_clients);
  // The upstream slot: its peer never changes, its stamp is the feed flag.
  FUZZ_CHECK(dist.table.clients[0].addr == model.clients[0].addr);
  FUZZ_CHECK(dist.table.clients[0].port == model.clients[0].port);
  FUZZ_CHECK(dist.table.clients[0].stamp == 0 || dist.table.clients[0].stamp == 1);
  const int in_use = dist.table.num_clients > 1 ? dist.table.num_clients : 1;
  for (int i = in_use; i < kMaxClients; ++i)
    FUZZ_CHECK(same_slot(dist.table.clients[i], sentinel(i)));
  // No peer in two client slots (never-used slots hold address 0, port 0).
  for (int i = 1; i < in_use; ++i) {
    const client_slot& a = dist.table.clients[i];
    if (a.addr == 0 && a.port == 0) continue;
    for (int j = i + 1; j < in_use; ++j) {
      FUZZ_CHECK(!(dist.table.clients[j].addr == a.addr && dist.table.clients[j].port == a.port));
    }
  }
  for (int i = 0; i < kMaxClients; ++i)
    FUZZ_CHECK(same_slot(dist.table.clients[i], model.clients[i]));
}

// Drain passes, each checked, until nothing is queued.
void drain(Distribution& dist, Model& model, const Loopback& net, std::time_t now) {
  do {
    const int64_t feed = dist.table.clients[0].stamp;
    process_udp_rx_clients(dist);
    const bool keyword = model.pass(net, now);
    FUZZ_CHECK(dist.table.clients[0].stamp == feed || keyword);
    check_table(dist, model);
  } while (!model.queued.empty());
  FUZZ_CHECK(!readable(dist.table.cfd, 0));
}

void send_and_wait(const Distribution& dist, const Sender& from, const Datagram& g) {
  const sockaddr_in to =
      ipv4_address(htonl(INADDR_LOOPBACK), htons(static_cast<uint16_t>(dist.table.cd_port)));
  const uint32_t before = queued_memory(dist.table.cfd);
  const ssize_t sent = sendto(from.fd, g.bytes.data(), g.bytes.size(), 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  FUZZ_CHECK(sent == static_cast<ssize_t>(g.bytes.size()));
  // Loopback delivery is normally done when sendto returns, but the model
  // needs the arrival order to be the send order, so make sure.
  for (int waited = 0; queued_memory(dist.table.cfd) == before; ++waited) {
    FUZZ_CHECK(waited < kArrivalWaitMs);
    usleep(1000);
  }
}

void keepalive_tick(Distribution& dist, Model& model, const Loopback& net, std::time_t now) {
  bool owed[kSenders] = {};
  model.tick(net, now, owed);
  send_client_keepalives(dist);
  check_table(dist, model);
  for (int s = 0; s < kSenders; ++s) {
    const int fd = net.senders[s].fd;
    if (!owed[s]) {
      FUZZ_CHECK(!readable(fd, 0));
      continue;
    }
    FUZZ_CHECK(readable(fd, kArrivalWaitMs));
    char buf[64];
    const ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    FUZZ_CHECK(std::string_view(buf, got > 0 ? static_cast<size_t>(got) : 0) == kKeepalive);
    FUZZ_CHECK(!readable(fd, 0));
  }
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  int next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

Datagram read_datagram(Reader& in, int op) {
  Datagram g{op & 7, {}};
  const int kind = (op >> 3) & 3;
  const int length = in.next();
  if (kind == 0) {
    for (int i = 0; i < length % 32; ++i) g.bytes.push_back(static_cast<unsigned char>(in.next()));
    return g;
  }
  const std::string_view keyword = kKeywords[kind - 1];
  if (length >= 0x80) {
    g.bytes.assign(keyword.begin(), keyword.begin() + length % static_cast<int>(keyword.size()));
    return g;
  }
  g.bytes.assign(keyword.begin(), keyword.end());
  for (int i = 0; i < (length & 7); ++i) g.bytes.push_back(static_cast<unsigned char>(in.next()));
  return g;
}

}  // namespace
}  // namespace morvix

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvix;
  Loopback& net = loopback();
  static std::time_t now;
  now = kClockStart;
  clock_override(&now);
  discard_waiting(net.opened.table.cfd);
  for (const Sender& s : net.senders) discard_waiting(s.fd);

  Reader in(data, size);
  Distribution dist;
  dist.table.cfd = net.opened.table.cfd;
  dist.table.cd_port = net.opened.table.cd_port;
  dist.table.num_clients = in.next() % (kMaxClients + 1);
  for (int i = 0; i < kMaxClients; ++i) dist.table.clients[i] = sentinel(i);
  clear_client_slots(dist);
  const int upstream = in.next();
  if (upstream % 9 < kSenders) {
    const Sender& peer = net.senders[upstream % 9];
    dist.table.clients[0] = {peer.addr, peer.port, upstream >> 7};
  } else {
    dist.table.clients[0] = {0, 0, 0};
  }

  Model model{};
  std::memcpy(model.clients, dist.table.clients, sizeof model.clients);
  model.num_clients = dist.table.num_clients;
  model.active_clients = 0;
  check_table(dist, model);

  while (!in.done()) {
    const int op = in.next();
    Datagram g = read_datagram(in, op);
    now += in.next() - 64;
    send_and_wait(dist, net.senders[g.sender], g);
    model.queued.push_back(std::move(g));
    if (!(op & 0x40) || model.queued.size() >= kMaxQueued) drain(dist, model, net, now);
    if (op & 0x20) keepalive_tick(dist, model, net, now);
  }
  if (!model.queued.empty()) drain(dist, model, net, now);
  return 0;
}
