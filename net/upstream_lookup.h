// SPDX-License-Identifier: Apache-2.0
// Looking the upstream server's name up without ever blocking the main loop:
// c-ares queries whose sockets join the loop's one wait.
#pragma once

#include <poll.h>

#include "net/client_table.h"

namespace morvix {

// Sockets c-ares may hold at once (a UDP and a TCP one per name server); a
// resolv.conf lists at most three servers.
constexpr int kLookupSockets = 8;
struct UpstreamLookup {
  UpstreamLookup() = default;
  ~UpstreamLookup();  // ends the channel and any lookup under way
  UpstreamLookup(const UpstreamLookup&) = delete;
  UpstreamLookup& operator=(const UpstreamLookup&) = delete;

  void* channel = nullptr;         // the c-ares channel; null when it could not be made
  int pending = 0;                 // a lookup is under way
  Distribution* dist = nullptr;    // whose slot 0 the answer fills
  int fds[kLookupSockets]{};       // c-ares's sockets ...
  short events[kLookupSockets]{};  // ... and what each waits for (POLLIN, POLLOUT)
  int nfds = 0;
};

// Makes the c-ares channel from the system's resolver settings
// (/etc/resolv.conf, /etc/hosts, LOCALDOMAIN and RES_OPTIONS). Returns 1, or
// 0 after a line on standard error; lookups then fail until a restart.
int lookup_open(UpstreamLookup& lookup);

// Starts looking dist.upstream.vorn_host up (IPv4) unless a lookup is under way or
// vorn_off is set; never waits. Numeric addresses and /etc/hosts names are
// answered at once. The answer, whenever it comes:
// - an address: when it is the first, or differs from slot 0's, slot 0 gets
//   it, port vorn_port and feed flag 1, active_clients and vorn_found are
//   set and the identity is announced to it at once; "upstream host \"%s\"
//   found at %s" goes to standard error after a failure or for a new address.
// - a failure: before the first address, slot 0's feed is off (address and
//   port stay as they are); after it, slot 0 keeps the last address. The
//   first failure after a success (or start-up) writes one line naming the
//   host and the reason to standard error.
// - only addresses no server can hold (unanswerable: 0.0.0.0, broadcast,
//   multicast): a failure as above, its line naming the address written
//   for every such answer. Such addresses are passed over when the answer
//   holds another.
// Returns 1 when slot 0 holds an address on return, else 0.
int lookup_vorn_dns(Distribution& dist, UpstreamLookup& lookup);

// Fills out[0 .. kLookupSockets - 1] with the sockets to wait for (fd -1 for
// unused entries) and returns the wait in ms, at most wait_ms, until
// c-ares's next time-out.
int lookup_wait(const UpstreamLookup& lookup, pollfd* out, int wait_ms);

// After the wait: hands c-ares the sockets in ready[0 .. kLookupSockets - 1]
// that are ready, once each, and lets it act on its time-outs.
void lookup_serve(UpstreamLookup& lookup, const pollfd* ready);

}  // namespace morvix
