// SPDX-License-Identifier: Apache-2.0
// The upstream collection server link ("vorn" in the names below: the
// upstream server, always slot 0 of the table) and the station identity.
#pragma once

#include "net/client_table.h"

namespace morvix {

// Loads the identity from path (the daemon passes "uid.txt"): its first line
// must be exactly 40 characters 0-9 a-f. Returns 1 with uid = "*uid:<id>:"
// and uidslen = 46, or 0 after writing its message to standard error: a file
// that is there but cannot be opened adds a line with its full path and the
// system's reason; a missing one gets the message alone.
int get_uid(Distribution& dist, const char* path = "uid.txt");

// Sends the identity announcement from cfd to slot 0, whatever its feed
// flag, and counts it; sends and counts nothing while slot 0 has no address
// (port 0) or with vorn_off.
void send_vorn_uid(Distribution& dist);

}  // namespace morvix
