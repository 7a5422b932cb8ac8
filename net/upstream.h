// SPDX-License-Identifier: Apache-2.0
// The upstream collection server link ("vorn" in the names below: the
// upstream server, always slot 0 of the table) and the station identity.
#pragma once

#include "net/client_table.h"

namespace morvix {

constexpr int kUpstreamPort = 4799;  // unless -u gives another

// Loads the identity from path (the daemon passes "uid.txt"): its first line
// must be exactly 40 characters 0-9 a-f. Returns 1 with uid = "*uid:<id>:"
// and uidslen = 46, or 0 after writing its message to standard error.
int get_uid(Distribution& dist, const char* path = "uid.txt");

// Looks host up (IPv4; blocks until the resolver answers) and keeps the
// name in vorn_host for later tries; with vorn_off (-u off) does nothing and
// returns 0. On success slot 0 gets its first address, port vorn_port and
// feed flag 1, active_clients and vorn_found are set,
// and a success after a failure is told on standard error; returns 1. On
// failure slot 0's feed is off and its address and port stay as they are
// (0 from start-up); the first failure writes one line naming the host and
// the reason to standard error; returns 0.
int lookup_vorn_dns(Distribution& dist, const char* host);

// Sends the identity announcement from cfd to slot 0, whatever its feed
// flag, and counts it; sends and counts nothing while slot 0 has no address
// (port 0) or with vorn_off.
void send_vorn_uid(Distribution& dist);

}  // namespace morvix
