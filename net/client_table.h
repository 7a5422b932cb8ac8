// SPDX-License-Identifier: Apache-2.0
// The subscriber table and the distribution socket. Slot 0 is the upstream
// collection server (its stamp is the feed flag); slots 1 .. num_clients - 1
// belong to client programs that register by sending any datagram other
// than "DISCONNECT" (a client slot is free when its stamp is 0).
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "runtime/line_limit.h"

namespace morvix {

constexpr int kMaxClients = 32;
constexpr int kClientTimeout = 300;  // seconds of silence a client may have
constexpr int kDatagramsPerDrain = 64;

// The keepalive datagram, exactly these 10 bytes. No frame can look like it:
// its second byte, 'K', would be a fill-bit count above 59.
inline constexpr char kKeepalive[] = "*KEEPALIVE";
constexpr size_t kKeepaliveBytes = sizeof kKeepalive - 1;

// One slot; addr and port are in network byte order, as a socket address
// carries them (port in the low 16 bits).
struct client_slot {
  uint32_t addr;
  uint32_t port;
  int64_t stamp;
};

// What the distribution side counts, for the daemon's metrics.
struct DistributionStats {
  int64_t registrations = 0;           // a peer took a free slot
  int64_t disconnects = 0;             // a client left with "DISCONNECT"
  int64_t expiries = 0;                // a client was freed after its silence
  int64_t refused_full = 0;            // datagrams from new peers while every slot was taken
  int64_t refused_source = 0;          // datagrams from sources no reply can reach
  int64_t port_announcements = 0;      // TCP replies sent
  int64_t upstream_starts = 0;         // "START" from the upstream server
  int64_t upstream_stops = 0;          // "STOP" from the upstream server
  int64_t identity_announcements = 0;  // "*uid:...:" sent
  int64_t send_errors_client = 0;      // sends to client slots that failed (frames, keepalives)
  int64_t send_errors_upstream = 0;    // sends to the upstream slot that failed
};

// The subscriber table and the distribution socket it sends from.
struct ClientTable {
  client_slot clients[kMaxClients]{};
  int num_clients = 5;     // slots in use, the upstream slot included
  int active_clients = 0;  // set once anybody could want frames; never cleared
  int cfd = -1;            // client data socket (distribution), UDP, non-blocking
  int cd_port = 0;         // its local port, host byte order (client data port)
  socklen_t salen = 16;    // length of an IPv4 socket address
};

constexpr int kAnnouncePort = 4851;  // the port announcement's, unless -t gives another
constexpr int kUpstreamPort = 4799;  // the upstream server's, unless -u gives another

// The port announcement's TCP listener (port_announce).
struct PortAnnounce {
  int tfd = -1;                 // TCP listener of the port announcement
  int ct_port = kAnnouncePort;  // its port (client TCP port), -t
};

// The upstream server link and the station's identity (upstream).
struct UpstreamLink {
  char uid[64]{};                 // the identity announcement "*uid:<40 hex digits>:"
  int uidslen = 0;                // its length in bytes, 46 once loaded
  const char* vorn_host = "";     // the upstream ("vorn") server's host name
  int vorn_port = kUpstreamPort;  // its UDP port, host byte order (-u)
  int vorn_off = 0;               // -u off: slot 0 is never looked up, announced to or fed
  int vorn_found = 0;             // set once its lookup has succeeded
  int vorn_failures = 0;          // lookups that failed
};

// Everything the distribution side keeps, one plain struct per job, for the
// life of the daemon. Its sockets are its own: a copy would not compile.
struct Distribution {
  Distribution() = default;
  Distribution(const Distribution&) = delete;
  Distribution& operator=(const Distribution&) = delete;

  ClientTable table;
  PortAnnounce announce;
  UpstreamLink upstream;
  int verbose = 0;  // -v: clients leaving, expiring, refused on standard error
  DistributionStats stats;
  // Lines that peers can cause at will, each kind on its own budget.
  LineLimit feed_lines{"upstream feed"};
  LineLimit refused_lines{"refused"};
  LineLimit left_lines{"left"};
  LineLimit expired_lines{"expired"};
};

// True for a peer (addr and port in network byte order) no datagram should
// go to: address 0.0.0.0, broadcast or multicast, or port 0. Neither a
// client's source nor the upstream server's address may be one.
bool unanswerable(uint32_t addr, uint32_t port);

// Start-up: zeroes addr, port and stamp of slots 0 .. num_clients - 1 (none
// when num_clients is below 1; it is never above kMaxClients).
void clear_client_slots(Distribution& dist);

// Opens cfd, the distribution socket ("dstream": the data stream to the
// clients), on an ephemeral port on all addresses, asks for a large send
// buffer, and sets cd_port. Ends the process through fatal with the failing
// step's message.
void clients_open_dstream(Distribution& dist);

// Sends data[0 .. len - 1] from cfd as one datagram to the slot's address
// and port, whatever its stamp. A failure (a full send buffer included) loses
// the datagram and is counted by the slot's kind, upstream (slot 0) or client.
void send_to_slot(Distribution& dist, const client_slot& slot, const void* data, size_t len);

// Sends frame[0 .. framelen - 1] as one datagram to every slot below
// num_clients whose stamp is not 0. Send failures are counted, no more.
void send_to_clients(Distribution& dist, const unsigned char* frame, int framelen);

// Drains cfd: registrations, refreshes and "DISCONNECT" from clients,
// "START"/"STOP" from the upstream server; at most kDatagramsPerDrain
// datagrams, the rest waiting for the next call. Empty datagrams, and those
// from a source no reply can go to (address 0.0.0.0, broadcast or multicast,
// or port 0), change nothing. Writes "add new client slot %d, %04x %02x\n"
// to standard output when a peer takes a slot; a line on standard error
// when the upstream server's START or STOP switches its feed; with verbose, a line on
// standard error when a client leaves, and when a new peer finds the table
// full; each kind at most kLinesPerMinute a minute; once such a minute is
// over, here or at the next keepalive tick, the count of the lines left out.
void process_udp_rx_clients(Distribution& dist);

// Client slots in use (the upstream slot not counted).
int clients_in_use(const Distribution& dist);

// Sends "*KEEPALIVE" to every registered client slot and frees those silent
// for more than kClientTimeout seconds (never the upstream slot), saying so
// on standard error with verbose (within the same budget of lines).
void send_client_keepalives(Distribution& dist);

}  // namespace morvix
