// SPDX-License-Identifier: Apache-2.0
// SIGHUP, the operator's "read your files again": taken from a signalfd in
// the main loop's one wait rather than by a handler. The daemon reads its
// identity file again and looks the upstream server up again; its options
// change only with a restart, and it says so.
#pragma once

#include "net/client_table.h"

namespace morvix {

struct UpstreamLookup;

// Blocks SIGHUP for the process and returns a non-blocking signalfd that
// becomes readable when one is waiting, or -1 (SIGHUP then keeps its
// default action, which ends the process).
int hangup_open();

// Takes every SIGHUP waiting on fd. Returns how many (0: none).
int hangup_taken(int fd);

// What a SIGHUP does: reads uid.txt again (a new identity is kept and
// announced to the upstream server at once; one that cannot be loaded
// leaves the identity as it was, after get_uid's own message), starts a
// lookup of the upstream server unless lookup is null (-u off), and writes
// one line on standard error saying what was done.
void hangup_reload(Distribution& dist, UpstreamLookup* lookup);

}  // namespace morvix
